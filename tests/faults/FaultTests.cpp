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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
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
 protected:
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

// The disk is full for `fullFor` from `fullAt` after the start, then has room
// until the stop at `stopAt`: each track says so once when it begins and once
// when it ends, leaves no file behind that is not marked, and its marked audio
// is the played noise without a frame missing, from about the start to the stop.
TEST_F(Faults, AFullDiskIsHeldInMemoryAndWrittenOnceThereIsRoom) {
  if (!canMount) {
    GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  // What it is, when the disk fills and for how long, when the call stops, and
  // in how many files at most each track may lie.
  for (const auto& [name, fullAt, fullFor, stopAt, maxFiles] :
       {std::tuple{"full from the launch", 0ms, 3000ms, 6000ms, 2u},
        std::tuple{"full for 8 s mid-call", 6000ms, 8000ms, 17000ms, 4u}}) {
    SCOPED_TRACE(name);
    const testing::Tmpfs disk(scratch_ / "disk", 0, "size=16777216");
    ASSERT_TRUE(disk.mounted);
    const fs::path segments = disk.path / "segments", filler = disk.path / "filler";
    fs::create_directories(segments);
    if (fullAt == 0ms) {
      ASSERT_GT(fill(filler), 0);
    }
    const std::unique_ptr<AgentProcess> agent = start(segments);
    const auto readyAt = Clock::now();
    std::this_thread::sleep_until(readyAt + fullAt);
    if (fullAt > 0ms) {
      ASSERT_GT(fill(filler), 0);
    }
    std::this_thread::sleep_until(readyAt + fullAt + fullFor);
    fs::remove(filler);
    std::this_thread::sleep_until(readyAt + stopAt);
    const double called = std::chrono::duration<double>(Clock::now() - readyAt).count();
    ASSERT_EQ(agent->stop(control_), 0) << agent->standardError();
    for (std::size_t track = 0; track < 2; ++track) {
      SCOPED_TRACE(kLabels[track]);
      const std::string label = std::string("Velkin ") + kLabels[track];
      EXPECT_EQ(agent->errorLines(label + " writer error: "), 1u) << agent->standardError();
      EXPECT_EQ(agent->errorLines(label + " writer resumed: "), 1u) << agent->standardError();
      const testing::Recording r = examine(segments, track, player_->framesPlayed());
      const double seconds = double(r.marked.size()) / kRate;
      EXPECT_EQ(r.unsound, 0u);
      EXPECT_LE(r.segments.size(), maxFiles);
      EXPECT_EQ(r.mismatches, 0) << seconds << " s marked of a " << called << " s call";
      // From before the readiness line to the stop, one poll after the stop file at most.
      EXPECT_GE(seconds, called - 0.1);
      EXPECT_LE(seconds, called + 1.0);
    }
  }
}

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

// Every entry of a directory tree, by relative path, with the content of files.
std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code missing;
  for (const auto& entry : fs::recursive_directory_iterator(root, missing)) {
    entries[fs::relative(entry.path(), root).string()] = testing::readFile(entry.path());
  }
  return entries;
}

// What a track's "could not be written" line says, in seconds; 0 without one.
double unwritten(const AgentProcess& agent, const std::string& label) {
  const std::string text = agent.standardError(), prefix = "Velkin " + label + " writer error: ";
  for (std::size_t at = text.find(prefix); at != std::string::npos;
       at = text.find(prefix, at + 1)) {
    double seconds = 0;
    char rest[40] = {};
    if (std::sscanf(text.c_str() + at + prefix.size(), "%lf s of audio could %39s", &seconds,
                    rest) == 2) {
      return seconds;
    }
  }
  return 0;
}

// A hostile or careless environment, one case a row: what it does to the
// segment directory `s` (or to the start) while a call of `stopAt` runs, and
// what must hold. A case whose means need root is skipped without it.
struct Misuse {
  const char* name;
  bool needsRoot;
  std::chrono::milliseconds stopAt;  // 0: the start fails, or the case ends it
  std::function<void(struct MisuseTest&, const fs::path& s, const fs::path& moved)> during;
  std::function<void(struct MisuseTest&, AgentProcess&, const fs::path& s, const fs::path& moved,
                     double called)>
      check;
};

struct MisuseTest : Faults, ::testing::WithParamInterface<Misuse> {
  using Faults::control_;
  using Faults::start;
  // The whole call, from about the start to the stop, as played, in segments
  // numbered from 1 without a gap, each track numbered alike.
  void expectWholeCall(const fs::path& segments, double called) {
    std::size_t files[2] = {};
    for (std::size_t track = 0; track < 2; ++track) {
      SCOPED_TRACE(kLabels[track]);
      const testing::Recording r = examine(segments, track, player_->framesPlayed());
      files[track] = r.segments.size();
      for (std::size_t n = 0; n < r.segments.size(); ++n) {
        EXPECT_EQ(r.segments[n].path.filename(), segmentFileName(kLabels[track], n + 1));
        EXPECT_TRUE(n + 1 == r.segments.size() || r.segments[n].frames == 5 * kRate);
      }
      EXPECT_EQ(r.unsound, 0u);
      EXPECT_EQ(r.mismatches, 0);
      EXPECT_GE(double(r.marked.size()) / kRate, called - 0.1);
      EXPECT_LE(double(r.marked.size()) / kRate, called + 1.0);
    }
    EXPECT_EQ(files[0], files[1]);
  }
  static std::string segmentFileName(const char* label, std::size_t number) {
    char name[64];
    std::snprintf(name, sizeof name, "%s-%06zu.caf", label, number);
    return name;
  }
  // Lets nothing in or out of `path`, root included, while `on`. Not by
  // chattr: a fork of this process stalls the player long enough to be heard.
  static bool immutable(const fs::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    const bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                       ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    ::close(fd);
    return done;
  }
};

TEST_P(MisuseTest, TheAgentKeepsToItsDirectoriesAndLosesNothingUnsaid) {
  const Misuse& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0) {
    GTEST_SKIP() << "needs root";
  }
  const fs::path s = scratch_ / "s", moved = scratch_ / "moved";
  std::unique_ptr<AgentProcess> agent;
  if (c.stopAt > 0ms) {
    agent = start(s);
    const auto readyAt = Clock::now();
    c.during(*this, s, moved);
    std::this_thread::sleep_until(readyAt + c.stopAt);
    const double called = std::chrono::duration<double>(Clock::now() - readyAt).count();
    ASSERT_EQ(agent->stop(control_), 0) << agent->standardError();
    c.check(*this, *agent, s, moved, called);
  } else {
    c.during(*this, s, moved);
  }
}

const Misuse kMisuses[] = {
    {"a directory swapped for a link is not followed", false, 12000ms,
     [](MisuseTest&, const fs::path& s, const fs::path& moved) {
       // Another call's directory, which must stay as it is.
       fs::create_directories(s.parent_path() / "other");
       std::ofstream(s.parent_path() / "other/interviewer-000002.caf") << "the other call";
       std::ofstream(s.parent_path() / "other/interviewer-000002.caf.ready");
       std::this_thread::sleep_for(3s);
       fs::rename(s, moved);
       fs::create_directory_symlink(s.parent_path() / "other", s);
     },
     [](MisuseTest& t, AgentProcess& agent, const fs::path& s, const fs::path& moved,
        double called) {
       EXPECT_EQ(tree(s.parent_path() / "other"),
                 (std::map<std::string, std::string>{{"interviewer-000002.caf", "the other call"},
                                                     {"interviewer-000002.caf.ready", ""}}));
       EXPECT_EQ(agent.errorLines("Velkin interviewer"), 0u) << agent.standardError();
       t.expectWholeCall(moved, called);
     }},
    {"a renamed directory is written on", false, 8000ms,
     [](MisuseTest&, const fs::path& s, const fs::path& moved) {
       std::this_thread::sleep_for(3s);
       fs::rename(s, moved);
     },
     [](MisuseTest& t, AgentProcess&, const fs::path&, const fs::path& moved, double called) {
       t.expectWholeCall(moved, called);
     }},
    {"a removed directory's audio is reported", false, 8000ms,
     [](MisuseTest&, const fs::path& s, const fs::path&) {
       std::this_thread::sleep_for(3s);
       fs::remove_all(s);
     },
     [](MisuseTest&, AgentProcess& agent, const fs::path&, const fs::path&, double called) {
       for (const char* label : kLabels) {
         EXPECT_GE(unwritten(agent, label), called - 0.2) << agent.standardError();
       }
     }},
    {"a read-only outage of 8 s keeps the numbers", true, 17000ms,
     [](MisuseTest&, const fs::path& s, const fs::path&) {
       std::this_thread::sleep_for(3s);
       ASSERT_TRUE(MisuseTest::immutable(s, true));
       std::this_thread::sleep_for(8s);
       MisuseTest::immutable(s, false);
     },
     [](MisuseTest& t, AgentProcess& agent, const fs::path& s, const fs::path&, double called) {
       for (const char* label : kLabels) {
         EXPECT_EQ(agent.errorLines(std::string("Velkin ") + label + " writer resumed: "), 1u)
             << agent.standardError();
       }
       t.expectWholeCall(s, called);
     }},
};
// The cases that end at the start, or run the agent themselves.
const Misuse kStarts[] = {
    {"a file-size limit below a segment fails the start, above it takes no signal",
     false,
     0ms,
     [](MisuseTest& t, const fs::path& s, const fs::path&) {
       // Units of ulimit -f differ between shells: 300 or 600 KiB here, 2 or 4 MiB below.
       EXPECT_EQ(t.start(s, "ulimit -f 600", false)->waitForExit(5s), 1);
       const std::string error = testing::readFile(t.control_ / "capture.error");
       EXPECT_TRUE(error.starts_with("The file-size limit of ") &&
                   error.ends_with(" bytes is too small for a segment, which needs 1048576 bytes"))
           << error;
       EXPECT_FALSE(fs::exists(s / "interviewer-000001.caf"));
       const std::unique_ptr<AgentProcess> agent = t.start(s, "ulimit -f 4096");
       const auto readyAt = Clock::now();
       std::this_thread::sleep_for(11s);
       const double called = std::chrono::duration<double>(Clock::now() - readyAt).count();
       ASSERT_EQ(agent->stop(t.control_), 0) << agent->standardError();
       t.expectWholeCall(s, called);
     },
     {}},
    {"a stale stop that is a directory is kept, and fails the start",
     false,
     0ms,
     [](MisuseTest& t, const fs::path& s, const fs::path&) {
       std::ofstream((fs::create_directories(t.control_ / "capture.stop"), t.control_) /
                     "capture.stop/inside");
       EXPECT_EQ(t.start(s, "", false)->waitForExit(5s), 1);
       EXPECT_EQ(testing::readFile(t.control_ / "capture.error"),
                 "The control directory " + t.control_.string() +
                     " holds an earlier capture.stop that is not a file");
       EXPECT_TRUE(fs::exists(t.control_ / "capture.stop/inside"));
     },
     {}},
    {"a stale stop that cannot be removed fails the start",
     true,
     0ms,
     [](MisuseTest& t, const fs::path& s, const fs::path&) {
       fs::create_directories(t.control_);
       std::ofstream(t.control_ / "capture.stop");
       ASSERT_TRUE(MisuseTest::immutable(t.control_ / "capture.stop", true));
       const std::optional<int> status = t.start(s, "", false)->waitForExit(5s);
       MisuseTest::immutable(t.control_ / "capture.stop", false);
       EXPECT_EQ(status, 1);
       EXPECT_EQ(testing::readFile(t.control_ / "capture.error"),
                 "The control directory " + t.control_.string() +
                     " holds an earlier capture.stop that cannot be removed: Operation not "
                     "permitted");
     },
     {}},
    {"umask 000 leaves the directories private",
     false,
     0ms,
     [](MisuseTest& t, const fs::path& s, const fs::path&) {
       fs::remove_all(t.control_);
       const std::unique_ptr<AgentProcess> agent = t.start(s / "a/b", "umask 000");
       EXPECT_EQ(agent->stop(t.control_), 0);
       for (const fs::path& made : {t.control_, s, s / "a", s / "a/b"}) {
         struct stat status {};
         ASSERT_EQ(::stat(made.c_str(), &status), 0);
         EXPECT_EQ(status.st_mode & 07777, 0700u) << made;
       }
     },
     {}},
    {"a path that is not UTF-8 is shown escaped",
     false,
     0ms,
     [](MisuseTest& t, const fs::path& s, const fs::path&) {
       EXPECT_EQ(t.start(s.string() + "\xff", "", false)->waitForExit(5s), 1);
       EXPECT_EQ(testing::readFile(t.control_ / "capture.error"),
                 "The segment directory " + s.string() +
                     "\\xff has a control character or a byte that is not UTF-8 in its path");
     },
     {}},
    {"SIGTERM ends a start that never answers",
     false,
     0ms,
     [](MisuseTest& t, const fs::path& s, const fs::path&) {
       // A server that takes the connection and never says a word.
       const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
       sockaddr_un address{};
       address.sun_family = AF_UNIX;
       const std::string path = (s.parent_path() / "mute").string();
       std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
       ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
       ASSERT_EQ(::listen(server, 8), 0);
       const std::unique_ptr<AgentProcess> agent =
           t.start(s, "export PULSE_SERVER=unix:" + path, false);
       std::this_thread::sleep_for(1s);  // well into the start: connected, waiting
       const auto asked = Clock::now();
       agent->signal(SIGTERM);
       EXPECT_EQ(agent->waitForExit(5s), 1);
       EXPECT_LT(agent->endedAt() - asked, 500ms);
       EXPECT_EQ(testing::readFile(t.control_ / "capture.error"),
                 "The start was cancelled by SIGTERM");
       ::close(server);
     },
     {}},
};

INSTANTIATE_TEST_SUITE_P(Running, MisuseTest, ::testing::ValuesIn(kMisuses),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });
INSTANTIATE_TEST_SUITE_P(Starting, MisuseTest, ::testing::ValuesIn(kStarts),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace velkin::faults
