// The real agent against a private audio server, under faults: a segment
// directory that fills up, is swapped, removed or made unwritable, an agent
// killed mid-segment, a server that goes away or never answers, files whose
// finish never ends, and a hostile start. What is marked must be whole and the
// call as played; nothing may be lost while memory can hold it, nor unreported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"
#include "Segments.hpp"

namespace velkin::faults {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::AgentProcess;

constexpr int64_t kRate = 48000;
const char* const kLabels[] = {"interviewer", "candidate"};

// Before any thread starts: the tests' mounts stay in this process.
const bool canMount = testing::privateMounts();

// Takes every free byte of the file system that holds `file` into it, in ever
// smaller writes until not one more fits; the bytes taken.
int64_t fill(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::vector<char> block(1 << 16, 'x');
  int64_t taken = 0;
  for (std::size_t size = block.size(); fd >= 0 && size > 0;) {
    const ssize_t n = ::write(fd, block.data(), size);
    n > 0 ? taken += n : size /= 2;
  }
  ::close(fd);
  return taken;
}

class Faults : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_EQ(daemon_->failure(), "");
    quiet_ = testing::settleSinks(*daemon_, {"call", "mic_in"});
    ASSERT_TRUE(quiet_);
    // Noise into the call (track 0) and into the microphone (track 1), with a
    // deep buffer, so that the player never runs dry on a busy machine.
    player_ = std::make_unique<testing::Player>(
        std::vector<testing::Player::Feed>{
            {"call", [](int64_t n) { return testing::noise(1, n); }},
            {"mic_in", [](int64_t n) { return testing::noise(2, n); }}},
        250ms);
  }

  // `shell`, when given, runs before the agent in the shell that becomes it.
  std::unique_ptr<AgentProcess> start(const fs::path& segments, const std::string& shell = "",
                                      bool ready = true) {
    // VELKIN_AGENT_UNDER_TEST runs another build of the agent, for comparison.
    const char* other = std::getenv("VELKIN_AGENT_UNDER_TEST");
    auto agent = std::make_unique<AgentProcess>(std::vector<std::string>{
        "/bin/sh", "-c", shell + "\nexec \"$@\"", "sh", other ? other : VELKIN_AGENT_BINARY,
        segments.string(), control_.string()});
    EXPECT_TRUE(!ready || agent->waitForReadiness(segments)) << agent->standardError();
    return agent;
  }

  testing::Recording examine(const fs::path& segments, std::size_t track, int64_t framesPlayed) {
    return testing::examine(
        segments, kLabels[track], [track](int64_t n) { return testing::noise(track + 1, n); },
        framesPlayed);
  }

  testing::ScratchDirectory scratch_{"velkin-faults"};
  const fs::path control_ = scratch_ / "control";
  std::unique_ptr<testing::PulseDaemon> daemon_ = std::make_unique<testing::PulseDaemon>();
  std::unique_ptr<testing::Player> quiet_, player_;
};

// An agent killed mid-segment leaves its marked files whole and its open one
// readable. The next launch records over them, and when its server goes away it
// ends with status 1, every segment marked.
TEST_F(Faults, AKilledAgentsFilesAreSoundAndALostServerEndsTheRunWithStatusOne) {
  const fs::path segments = scratch_ / "segments";
  const std::unique_ptr<AgentProcess> killed = start(segments);
  // Well into the second segments, two header updates or more after their start
  // even with the audio's way to the files (up to 0.6 s).
  std::this_thread::sleep_for(8500ms);
  killed->signal(SIGKILL);
  ASSERT_EQ(killed->waitForExit(2s), 128 + SIGKILL);
  for (std::size_t track = 0; track < 2; ++track) {
    SCOPED_TRACE(kLabels[track]);
    const testing::Recording r = examine(segments, track, player_->framesPlayed());
    ASSERT_EQ(r.segments.size(), 2u);
    EXPECT_TRUE(r.segments[0].sound());
    EXPECT_GE(r.segments[0].frames, 5 * kRate);
    // Readable up to its last header update: all but the last second at most.
    const testing::Segment& open = r.segments[1];
    EXPECT_FALSE(open.marked);
    EXPECT_TRUE(open.valid);
    EXPECT_GE(open.framesRead(), kRate * 3 / 2);
  }

  const std::unique_ptr<AgentProcess> agent = start(segments);
  std::this_thread::sleep_for(6s);  // past the end of the first segments
  player_.reset();
  quiet_.reset();
  daemon_->kill();
  ASSERT_EQ(agent->waitForExit(5s), 1);
  EXPECT_EQ(agent->errorLines("Velkin capture stopped: "), 1u) << agent->standardError();
  for (std::size_t track = 0; track < 2; ++track) {
    SCOPED_TRACE(kLabels[track]);
    const testing::Recording r = examine(segments, track, 0);
    EXPECT_EQ(r.segments.size(), 2u);
    EXPECT_EQ(r.unsound, 0u);  // the killed run's open file is replaced too
  }
}

// A disk that never finishes closing a file holds no exit: within the grace of
// 2 s after the agent starts waiting for its finishes, with the segments whose
// finish never ended unmarked. Needs no audio server: the scripted host.
TEST(StalledDisk, TheExitIsBoundedAndNothingIsMarked) {
  for (const bool stoppedByItself : {true, false}) {
    SCOPED_TRACE(stoppedByItself ? "stream stopped by itself" : "orderly stop");
    const testing::ScratchDirectory scratch("velkin-stalled");
    const fs::path segments = scratch / "segments", control = scratch / "control";
    AgentProcess agent({VELKIN_SCRIPTED_BINARY, segments.string(), control.string()},
                       std::string("audio-seconds=6;microphone-seconds=6;stall-finishes=true") +
                           (stoppedByItself ? ";fail-after-delivery=gone" : ""));
    Clock::time_point waitingFrom;
    if (stoppedByItself) {
      ASSERT_TRUE(
          testing::waitFor([&] { return agent.errorLines("Velkin capture stopped: ") == 1; }, 5s));
      waitingFrom = Clock::now();
    } else {
      ASSERT_TRUE(agent.waitForReadiness(segments));
      std::ofstream(control / "capture.stop").close();
      // The stop file is seen at the next poll.
      waitingFrom = Clock::now() + testing::kAgentPollInterval;
    }
    const std::optional<int> status = agent.waitForExit(5s);
    ASSERT_TRUE(status) << "still running 5 s on";
    EXPECT_EQ(*status, stoppedByItself ? 1 : 0) << agent.standardError();
    EXPECT_LT(agent.endedAt() - waitingFrom, 2500ms);
    EXPECT_EQ(std::count_if(fs::directory_iterator(segments), {},
                            [](const auto& entry) { return entry.path().extension() == ".ready"; }),
              0);
  }
}

// Lets nothing in or out of `path`, root included, while `on`. Not by chattr:
// a fork of this process stalls the player long enough to be heard.
bool immutable(const fs::path& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int flags = 0;
  const bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                     ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  ::close(fd);
  return done;
}

// A hostile or careless environment, one row a case. A case whose means need
// root (mounts, file flags) is skipped without it.
struct Misuse {
  const char* name;
  bool needsRoot;
  std::function<void(struct MisuseTest&)> run;
};

struct MisuseTest : Faults, ::testing::WithParamInterface<Misuse> {
  // A call of `length` in `s`, with `during` run from its readiness on, then
  // stopped in order: its length from the readiness to the stop.
  double call(std::chrono::milliseconds length, const std::function<void()>& during = {},
              const std::string& shell = "") {
    agent = start(s, shell);
    const auto readyAt = Clock::now();
    if (during) {
      during();
    }
    std::this_thread::sleep_until(readyAt + length);
    const double called = std::chrono::duration<double>(Clock::now() - readyAt).count();
    EXPECT_EQ(agent->stop(control_), 0) << agent->standardError();
    return called;
  }
  // A start that fails: its "capture.error".
  std::string failedStart(const fs::path& segments, const std::string& shell = "") {
    EXPECT_EQ(start(segments, shell, false)->waitForExit(5s), 1);
    return testing::readFile(control_ / "capture.error");
  }
  // The whole call as played, from about the readiness to the stop, in `in`, in
  // segments of 5 s numbered from 1 without a gap, each track numbered alike;
  // `outages` times, each track said it could not write and then that it could.
  void expectWholeCall(const fs::path& in, double called, std::size_t outages = 0) {
    std::size_t files[2] = {};
    for (std::size_t track = 0; track < 2; ++track) {
      SCOPED_TRACE(kLabels[track]);
      const std::string label = std::string("Velkin ") + kLabels[track];
      // The line of a file that cannot be made names no track, but the file.
      std::istringstream lines(agent->standardError());
      std::size_t errors = 0;
      for (std::string line; std::getline(lines, line);) {
        errors += line.find("writer error: ") != std::string::npos &&
                  line.find(kLabels[track]) != std::string::npos;
      }
      EXPECT_EQ(errors, outages) << agent->standardError();
      EXPECT_EQ(agent->errorLines(label + " writer resumed: "), outages);
      const testing::Recording r = examine(in, track, player_->framesPlayed());
      files[track] = r.segments.size();
      for (std::size_t n = 0; n < r.segments.size(); ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "%s-%06zu.caf", kLabels[track], n + 1);
        EXPECT_EQ(r.segments[n].path.filename(), name);
        EXPECT_TRUE(n + 1 == r.segments.size() || r.segments[n].frames == 5 * kRate);
      }
      EXPECT_EQ(r.unsound, 0u);
      EXPECT_EQ(r.mismatches, 0) << r.firstMismatch;
      EXPECT_GE(double(r.marked.size()) / kRate, called - 0.1);
      EXPECT_LE(double(r.marked.size()) / kRate, called + 1.0);
    }
    EXPECT_EQ(files[0], files[1]);
  }
  // What a track's "could not be written" line says, in seconds; 0 without one.
  double unwritten(const char* label) const {
    std::istringstream lines(agent->standardError());
    double seconds = 0;
    for (std::string line; std::getline(lines, line);) {
      (void)(seconds == 0 &&
             std::sscanf(line.c_str(),
                         ("Velkin " + std::string(label) + " writer error: %lf s of audio").c_str(),
                         &seconds) == 1);
    }
    return seconds;
  }
  // The segment directory on a disk of 16 MiB, full from `fullAt` for `fullFor`.
  void fullDisk(std::chrono::milliseconds fullAt, std::chrono::milliseconds fullFor) {
    const testing::Tmpfs disk(scratch_ / "disk", 0, "size=16777216");
    ASSERT_TRUE(disk.mounted);
    s = disk.path / "s";
    fs::create_directories(s);
    const auto filled = [&] { ASSERT_GT(fill(disk.path / "filler"), 0); };
    if (fullAt == 0ms) {
      filled();
    }
    expectWholeCall(s,
                    call(fullAt + fullFor + 3s,
                         [&] {
                           std::this_thread::sleep_for(fullAt);
                           (void)(fullAt > 0ms && (filled(), true));
                           std::this_thread::sleep_for(fullFor);
                           fs::remove(disk.path / "filler");
                         }),
                    1);
  }

  fs::path s = scratch_ / "s";
  const fs::path moved = scratch_ / "moved";
  std::unique_ptr<AgentProcess> agent;
};

TEST_P(MisuseTest, TheAgentKeepsToItsDirectoriesAndLosesNothingUnsaid) {
  if (GetParam().needsRoot && !canMount) {
    GTEST_SKIP() << "needs root";
  }
  GetParam().run(*this);
}

const Misuse kMisuses[] = {
    {"a full disk from the launch, held and written", true,
     [](MisuseTest& t) { t.fullDisk(0ms, 3s); }},
    {"a full disk for 8 s mid-call, held and written", true,
     [](MisuseTest& t) { t.fullDisk(6s, 8s); }},
    {"a read-only directory for 8 s: the numbers stay places in the call", true,
     [](MisuseTest& t) {
       t.expectWholeCall(t.s,
                         t.call(17s,
                                [&] {
                                  std::this_thread::sleep_for(3s);
                                  ASSERT_TRUE(immutable(t.s, true));
                                  std::this_thread::sleep_for(8s);
                                  immutable(t.s, false);
                                }),
                         1);
     }},
    {"a directory swapped for a link is not followed", false,
     [](MisuseTest& t) {
       // Another call's directory, which must stay as it is.
       const fs::path other = t.moved.parent_path() / "other";
       fs::create_directories(other);
       std::ofstream(other / "interviewer-000002.caf") << "the other call";
       const double called = t.call(12s, [&] {
         std::this_thread::sleep_for(3s);
         fs::rename(t.s, t.moved);
         fs::create_directory_symlink(other, t.s);
       });
       EXPECT_EQ(std::distance(fs::directory_iterator(other), {}), 1);
       EXPECT_EQ(testing::readFile(other / "interviewer-000002.caf"), "the other call");
       t.expectWholeCall(t.moved, called);
     }},
    {"a renamed directory is written on", false,
     [](MisuseTest& t) {
       t.expectWholeCall(t.moved, t.call(8s, [&] {
         std::this_thread::sleep_for(3s);
         fs::rename(t.s, t.moved);
       }));
     }},
    {"a removed directory's audio is reported", false,
     [](MisuseTest& t) {
       const double called = t.call(8s, [&] {
         std::this_thread::sleep_for(3s);
         fs::remove_all(t.s);
       });
       for (const char* label : kLabels) {
         EXPECT_GE(t.unwritten(label), called - 0.2) << t.agent->standardError();
       }
     }},
    {"a file-size limit below a segment fails the start, above it takes no signal", false,
     [](MisuseTest& t) {
       // The units of ulimit -f differ between shells: 300 or 600 KiB here, 2 or 4 MiB below.
       const std::string error = t.failedStart(t.s, "ulimit -f 600");
       EXPECT_TRUE(error.starts_with("The file-size limit of ") &&
                   error.ends_with(" bytes is too small for a segment, which needs 1048576 bytes"))
           << error;
       EXPECT_FALSE(fs::exists(t.s / "interviewer-000001.caf"));
       t.expectWholeCall(t.s, t.call(11s, {}, "ulimit -f 4096"));
     }},
    {"a stale stop that is a directory is kept, and fails the start", false,
     [](MisuseTest& t) {
       fs::create_directories(t.control_ / "capture.stop");
       std::ofstream(t.control_ / "capture.stop/inside");
       EXPECT_EQ(t.failedStart(t.s), "The control directory " + t.control_.string() +
                                         " holds an earlier capture.stop that is not a file");
       EXPECT_TRUE(fs::exists(t.control_ / "capture.stop/inside"));
     }},
    {"a stale stop that cannot be removed fails the start", true,
     [](MisuseTest& t) {
       fs::create_directories(t.control_);
       std::ofstream(t.control_ / "capture.stop");
       ASSERT_TRUE(immutable(t.control_ / "capture.stop", true));
       const std::string error = t.failedStart(t.s);
       immutable(t.control_ / "capture.stop", false);
       EXPECT_EQ(error, "The control directory " + t.control_.string() +
                            " holds an earlier capture.stop that cannot be removed: Operation not "
                            "permitted");
     }},
    {"umask 000 leaves the directories private", false,
     [](MisuseTest& t) {
       t.s /= "a/b";
       t.call(1s, {}, "umask 000");
       for (const fs::path& made :
            {t.control_, t.s, t.s.parent_path(), t.s.parent_path().parent_path()}) {
         struct stat status {};
         ASSERT_EQ(::stat(made.c_str(), &status), 0);
         EXPECT_EQ(status.st_mode & 07777, 0700u) << made;
       }
     }},
    {"a path that is not UTF-8 is shown escaped", false,
     [](MisuseTest& t) {
       EXPECT_EQ(t.failedStart(t.s.string() + "\xff"),
                 "The segment directory " + t.s.string() +
                     "\\xff has a control character or a byte that is not UTF-8 in its path");
     }},
    {"SIGTERM ends a start that never answers", false,
     [](MisuseTest& t) {
       // A server that takes the connection and never says a word.
       const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
       sockaddr_un address{};
       address.sun_family = AF_UNIX;
       const std::string path = (t.moved.parent_path() / "mute").string();
       std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
       ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
       ASSERT_EQ(::listen(server, 8), 0);
       const std::unique_ptr<AgentProcess> agent =
           t.start(t.s, "export PULSE_SERVER=unix:" + path, false);
       std::this_thread::sleep_for(1s);  // well into the start: connected, waiting
       const auto asked = Clock::now();
       agent->signal(SIGTERM);
       EXPECT_EQ(agent->waitForExit(5s), 1);
       EXPECT_LT(agent->endedAt() - asked, 500ms);
       EXPECT_EQ(testing::readFile(t.control_ / "capture.error"),
                 "The start was cancelled by SIGTERM");
       ::close(server);
     }},
};

// Each case named after its description, which is also what a failure prints.
void PrintTo(const Misuse& misuse, std::ostream* out) {
  *out << misuse.name;
}
INSTANTIATE_TEST_SUITE_P(Table, MisuseTest, ::testing::ValuesIn(kMisuses), [](const auto& info) {
  std::string name;
  bool up = true;
  for (const char c : std::string_view(info.param.name)) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      name += up ? char(std::toupper(static_cast<unsigned char>(c))) : c;
    }
    up = !std::isalnum(static_cast<unsigned char>(c));
  }
  return name;
});

}  // namespace
}  // namespace velkin::faults
