// The real agent against a private audio server, under faults: a segment
// directory that fills up, an agent killed mid-segment, a server that goes away,
// and files whose finish never ends. What is marked must be whole and the call
// as played; nothing may be lost while memory can hold it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

  std::unique_ptr<AgentProcess> start(const fs::path& segments) {
    auto agent = std::make_unique<AgentProcess>(
        std::vector<std::string>{VELKIN_AGENT_BINARY, segments.string(), control_.string()});
    EXPECT_TRUE(agent->waitForReadiness(segments)) << agent->standardError();
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

}  // namespace
}  // namespace velkin::faults
