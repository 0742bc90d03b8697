// The real agent against a private audio server, under faults: a segment
// directory that fills up, an agent killed mid-segment, a server that goes away,
// and files whose finish never ends. What is marked must be whole and the call
// as played; nothing may be lost while memory can hold it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
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
const uint64_t kSeeds[] = {1, 2};  // what plays into the call and into the microphone
// Two conversions to 16 bits on the way (the sink's, the segment's).
constexpr float kTolerance = 1e-4f;

bool canMount = false;  // set by main(): root, in a mount namespace of its own

double secondsSince(Clock::time_point then) {
  return std::chrono::duration<double>(Clock::now() - then).count();
}

std::size_t count(const std::string& text, const std::string& prefix) {
  std::size_t n = 0;
  for (std::size_t at = text.find(prefix); at != std::string::npos;
       at = text.find(prefix, at + 1)) {
    n += at == 0 || text[at - 1] == '\n';
  }
  return n;
}

// A tmpfs of `bytes` at `path`, unmounted when this goes.
struct Tmpfs {
  Tmpfs(const fs::path& at, int64_t bytes) : path(at) {
    fs::create_directories(path);
    mounted =
        ::mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
  }
  ~Tmpfs() {
    if (mounted) {
      ::umount2(path.c_str(), MNT_DETACH);
    }
  }
  fs::path path;
  bool mounted = false;
};

// Takes every free byte of the file system that holds `file` into it, in ever
// smaller writes until not one more fits; the bytes taken.
int64_t fill(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  std::vector<char> block(1 << 16, 'x');
  int64_t taken = 0;
  for (std::size_t size = block.size(); fd >= 0 && size > 0; size /= 2) {
    for (ssize_t n; (n = ::write(fd, block.data(), size)) > 0;) {
      taken += n;
    }
  }
  ::close(fd);
  return taken;
}

// One track as it lies in the segment directory, against the noise played.
struct Track {
  std::size_t files = 0;
  std::size_t unmarked = 0;
  int64_t frames = 0;       // in marked files
  int64_t mismatches = -1;  // marked frames after the first sound that are not the played one
};

Track examine(const fs::path& directory, std::size_t track, int64_t framesPlayed) {
  Track t;
  std::vector<float> left;
  for (const testing::Segment& segment : testing::readSegments(directory, kLabels[track])) {
    ++t.files;
    t.unmarked += !segment.marked || !segment.valid || segment.framesRead() != segment.frames;
    if (segment.marked) {
      left.insert(left.end(), segment.left.begin(), segment.left.end());
    }
  }
  t.frames = int64_t(left.size());
  const std::optional<int64_t> first = testing::firstAbove(left, kTolerance);
  constexpr int64_t probe = 64;
  if (!first || *first + probe > t.frames) {
    return t;
  }
  const auto matches = [&](int64_t played, int64_t at) {
    return std::fabs(left[std::size_t(at)] - testing::noise(kSeeds[track], played)) <= kTolerance;
  };
  for (int64_t played = 0; played < framesPlayed; ++played) {
    int64_t i = 0;
    while (i < probe && matches(played + i, *first + i)) {
      ++i;
    }
    if (i == probe) {
      t.mismatches = 0;
      for (int64_t at = *first; at < t.frames; ++at) {
        t.mismatches += !matches(played + at - *first, at);
      }
      break;
    }
  }
  return t;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(daemon_->failure(), "");
    quiet_ = testing::settleSinks(*daemon_, {"call", "mic_in"});
    ASSERT_TRUE(quiet_);
    // A deep buffer, so that the player never runs dry on a busy machine.
    player_ = std::make_unique<testing::Player>(
        std::vector<testing::Player::Feed>{
            {"call", [](int64_t n) { return testing::noise(kSeeds[0], n); }},
            {"mic_in", [](int64_t n) { return testing::noise(kSeeds[1], n); }}},
        250ms);
  }

  fs::path control() const { return scratch_.path() / "control"; }

  std::unique_ptr<AgentProcess> start(const fs::path& segments) {
    auto agent = std::make_unique<AgentProcess>(
        VELKIN_AGENT_BINARY, std::vector<std::string>{segments.string(), control().string()});
    EXPECT_TRUE(agent->waitForLine("VELKIN_CAPTURE_READY " + segments.string(), 5s))
        << agent->standardError();
    return agent;
  }

  void stop(AgentProcess& agent) {
    std::ofstream(control() / "capture.stop").close();
    const std::optional<int> status = agent.waitForExit(3s);
    ASSERT_TRUE(status) << "still running 3 s after the stop file";
    EXPECT_EQ(*status, 0) << agent.standardError();
  }

  testing::ScratchDirectory scratch_{"velkin-faults"};
  std::unique_ptr<testing::PulseDaemon> daemon_ = std::make_unique<testing::PulseDaemon>();
  std::unique_ptr<testing::Player> quiet_;
  std::unique_ptr<testing::Player> player_;
};

// The disk is full for `fullFor` from `fullAt` after the start, then has room
// until the stop at `stopAt`: each track says so once when it begins and once
// when it ends, leaves no file behind that is not marked, and its marked audio
// is the played noise without a frame missing, from about the start to the stop.
struct Outage {
  const char* name;
  std::chrono::milliseconds fullAt, fullFor, stopAt;
  std::size_t maxFiles;
};

TEST_F(Faults, AFullDiskIsHeldInMemoryAndWrittenOnceThereIsRoom) {
  if (!canMount) {
    GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  const Outage outages[] = {
      {"full from the launch", 0ms, 3s, 6s, 2},
      {"full for 8 s mid-call", 6s, 8s, 17s, 4},
  };
  for (const Outage& outage : outages) {
    SCOPED_TRACE(outage.name);
    Tmpfs disk(scratch_.path() / "disk", 16 << 20);
    ASSERT_TRUE(disk.mounted);
    const fs::path directory = disk.path / "segments";
    fs::create_directories(directory);
    const fs::path filler = disk.path / "filler";
    if (outage.fullAt == 0ms) {
      ASSERT_GT(fill(filler), 0);
    }
    const std::unique_ptr<AgentProcess> agent = start(directory);
    const auto readyAt = Clock::now();
    std::this_thread::sleep_until(readyAt + outage.fullAt);
    if (outage.fullAt > 0ms) {
      ASSERT_GT(fill(filler), 0);
    }
    std::this_thread::sleep_until(readyAt + outage.fullAt + outage.fullFor);
    ASSERT_TRUE(agent->running()) << agent->standardError();
    fs::remove(filler);
    std::this_thread::sleep_until(readyAt + outage.stopAt);
    const double called = secondsSince(readyAt);
    ASSERT_NO_FATAL_FAILURE(stop(*agent));

    const std::string errors = agent->standardError();
    for (std::size_t track = 0; track < 2; ++track) {
      SCOPED_TRACE(kLabels[track]);
      const std::string label = std::string("Velkin ") + kLabels[track];
      EXPECT_EQ(count(errors, label + " writer error: "), 1u) << errors;
      EXPECT_EQ(count(errors, label + " writer resumed: "), 1u) << errors;
      const Track t = examine(directory, track, player_->framesPlayed());
      std::printf(
          "%s, %s: %.3f s marked in %zu files of a %.3f s call; %lld frames not as played\n",
          outage.name, kLabels[track], double(t.frames) / kRate, t.files, called,
          static_cast<long long>(t.mismatches));
      EXPECT_EQ(t.unmarked, 0u);
      EXPECT_LE(t.files, outage.maxFiles);
      EXPECT_EQ(t.mismatches, 0);
      // From before the readiness line to the stop, one poll after the stop file at most.
      EXPECT_GE(t.frames, int64_t((called - 0.1) * kRate));
      EXPECT_LE(t.frames, int64_t((called + 1.0) * kRate));
    }
    std::printf("%s", errors.c_str());
    fs::remove_all(control());
  }
}

TEST_F(Faults, AKilledAgentLeavesMarkedFilesWholeAndTheOpenOneReadable) {
  const fs::path directory = scratch_.path() / "segments";
  const std::unique_ptr<AgentProcess> agent = start(directory);
  // Well into the second segments, two header updates or more after their start.
  std::this_thread::sleep_for(7700ms);
  agent->signal(SIGKILL);
  ASSERT_EQ(agent->waitForExit(2s), 128 + SIGKILL);
  for (const char* label : kLabels) {
    SCOPED_TRACE(label);
    const std::vector<testing::Segment> segments = testing::readSegments(directory, label);
    ASSERT_EQ(segments.size(), 2u);
    const testing::Segment& first = segments.front();
    EXPECT_TRUE(first.marked && first.valid && first.framesRead() == first.frames);
    EXPECT_GE(first.frames, 5 * kRate);
    // Readable up to its last header update: all but the last second at most.
    const testing::Segment& open = segments.back();
    EXPECT_FALSE(open.marked);
    EXPECT_TRUE(open.valid);
    EXPECT_GE(open.framesRead(), kRate * 3 / 2);
  }
}

TEST_F(Faults, ALostServerEndsTheRunWithStatusOneAndTheNextLaunchRecords) {
  const fs::path directory = scratch_.path() / "segments";
  {
    const std::unique_ptr<AgentProcess> agent = start(directory);
    std::this_thread::sleep_for(6s);  // past the end of the first segments
    player_.reset();
    quiet_.reset();
    daemon_->kill();
    ASSERT_EQ(agent->waitForExit(5s), 1);
    EXPECT_EQ(count(agent->standardError(), "Velkin capture stopped: "), 1u);
  }
  for (std::size_t track = 0; track < 2; ++track) {
    const Track t = examine(directory, track, 10 * kRate);
    EXPECT_EQ(t.unmarked, 0u) << kLabels[track];
    EXPECT_GE(t.files, 2u) << kLabels[track];
  }
  // A server again, a new one; the next launch into the same directories.
  daemon_ = std::make_unique<testing::PulseDaemon>();
  ASSERT_NO_FATAL_FAILURE(SetUp());
  const std::unique_ptr<AgentProcess> agent = start(directory);
  std::this_thread::sleep_for(2s);
  ASSERT_NO_FATAL_FAILURE(stop(*agent));
  EXPECT_EQ(count(agent->standardError(), "Velkin "), 0u) << agent->standardError();
  for (const char* label : kLabels) {
    // This run's first segment replaced the earlier run's five seconds.
    const testing::Segment first =
        testing::readSegment(directory / (std::string(label) + "-000001.caf"));
    EXPECT_TRUE(first.marked && first.valid) << label;
    EXPECT_GE(first.framesRead(), kRate * 3 / 2) << label;
    EXPECT_LT(first.framesRead(), 5 * kRate) << label;
  }
}

// A disk that never finishes closing a file holds no exit: within the grace of
// 2 s after the agent starts waiting for its finishes, with the segments whose
// finish never ended unmarked. Needs no audio server: the scripted host.
TEST(StalledDisk, TheExitIsBoundedAndNothingIsMarked) {
  for (const bool stoppedByItself : {true, false}) {
    SCOPED_TRACE(stoppedByItself ? "stream stopped by itself" : "orderly stop");
    testing::ScratchDirectory scratch("velkin-stalled");
    const fs::path segments = scratch.path() / "segments";
    const fs::path control = scratch.path() / "control";
    std::string scenario =
        "VELKIN_SCENARIO=audio-seconds=6;microphone-seconds=6;stall-finishes=true";
    if (stoppedByItself) {
      scenario += ";fail-after-delivery=gone";
    }
    AgentProcess agent(VELKIN_SCRIPTED_BINARY, {segments.string(), control.string()},
                       {.environment = {scenario}, .workingDirectory = {}});
    Clock::time_point waitingFrom;
    if (stoppedByItself) {
      ASSERT_TRUE(testing::waitFor(
          [&] { return count(agent.standardError(), "Velkin capture stopped: ") == 1; }, 5s));
      waitingFrom = Clock::now();
    } else {
      ASSERT_TRUE(agent.waitForLine("VELKIN_CAPTURE_READY " + segments.string(), 5s));
      std::ofstream(control / "capture.stop").close();
      // The stop file is seen at the next poll.
      waitingFrom = Clock::now() + testing::kAgentPollInterval;
    }
    const std::optional<int> status = agent.waitForExit(5s);
    ASSERT_TRUE(status) << "still running 5 s on";
    const double seconds = std::chrono::duration<double>(agent.endedAt() - waitingFrom).count();
    std::printf("exited with %d, %.3f s after it began to wait for its finishes\n", *status,
                seconds);
    EXPECT_EQ(*status, stoppedByItself ? 1 : 0) << agent.standardError();
    EXPECT_LT(seconds, 2.5);
    EXPECT_TRUE(testing::readyMarkers(segments).empty());
  }
}

}  // namespace
}  // namespace velkin::faults

int main(int argc, char** argv) {
  // While this is the only thread: the mounts of the tests stay in a namespace
  // of their own, and go with the process however it ends.
  velkin::faults::canMount = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
