// A call that ends abruptly: the agent killed mid-segment, its parent killed,
// the audio server gone. What is marked must be whole, and what is not marked
// must still be readable as far as it got.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "FaultSupport.hpp"

namespace velkin::faults {
namespace {

using namespace std::chrono_literals;
// A process that only waits to be killed, standing in for the agent's parent;
// killed and reaped by its pid when this goes, if the test has not done it.
class StandInParent {
 public:
  StandInParent() {
    const pid_t self = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != self) {
        ::_exit(0);
      }
      while (true) {
        ::pause();
      }
    }
  }
  ~StandInParent() { kill(); }
  StandInParent(const StandInParent&) = delete;
  StandInParent& operator=(const StandInParent&) = delete;

  pid_t pid() const { return pid_; }

  // Kills it and reaps it at once: a zombie would still answer kill(pid, 0).
  void kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
};

void expectMarkedAndWhole(const std::vector<SegmentFile>& segments) {
  for (const SegmentFile& segment : segments) {
    EXPECT_TRUE(segment.marked) << segment.path;
    EXPECT_TRUE(isComplete(segment));
    EXPECT_TRUE(holdsPlayedNoise(segment));
  }
}

void print(const std::vector<SegmentFile>& segments) {
  for (const SegmentFile& s : segments) {
    std::printf("  %s: %lld frames read, %lld audio bytes on disk, %s\n", s.path.filename().c_str(),
                static_cast<long long>(s.framesRead()),
                static_cast<long long>(s.audioBytesOnDisk()), s.marked ? "marked" : "unmarked");
  }
}

class AbruptEnd : public FaultTest {};

TEST_F(AbruptEnd, AKilledAgentLeavesMarkedFilesWholeAndTheOpenOneReadable) {
  const Call call = playCall(*daemon_);
  ASSERT_TRUE(call.player);
  Agent agent(segments(), control());
  ASSERT_TRUE(agent.becomesReady(5s));
  // Well into the second segments, two header updates or more after their start.
  std::this_thread::sleep_for(7700ms);
  agent.signal(SIGKILL);
  const std::optional<int> status = agent.waitForExit(2s);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 128 + SIGKILL);
  EXPECT_TRUE(noSanitizerReport(agent.standardError()));

  for (const char* label : {"interviewer", "candidate"}) {
    SCOPED_TRACE(label);
    std::vector<SegmentFile> segments = readSegments(this->segments(), label);
    print(segments);
    ASSERT_GE(segments.size(), 2u);
    const SegmentFile open = segments.back();
    segments.pop_back();
    expectMarkedAndWhole(segments);
    for (const SegmentFile& segment : segments) {
      EXPECT_GE(segment.framesRead(), kSegmentFrames) << segment.path;
    }

    // The open one has no marker, but the frames up to its last header update
    // read back: all of them but the last second at most.
    EXPECT_FALSE(open.marked) << open.path;
    EXPECT_EQ(open.problem, "") << open.path;
    ASSERT_TRUE(open.valid) << open.path;
    const int64_t written = open.audioBytesOnDisk() / kBytesPerFrame;
    std::printf("  the open file's header claims %lld audio bytes, %lld frames are on disk\n",
                static_cast<long long>(open.declaredAudioBytes), static_cast<long long>(written));
    EXPECT_GE(written, kRate * 3 / 2);
    EXPECT_LE(open.framesRead(), written);
    // One second between header updates, plus the buffer that crosses it.
    EXPECT_GE(open.framesRead(), written - kRate - kRate / 10);
    EXPECT_TRUE(holdsPlayedNoise(open));
  }
}

TEST_F(AbruptEnd, TheParentsEndStopsTheAgentInOnePollWithItsSegmentsMarked) {
  const Call call = playCall(*daemon_);
  ASSERT_TRUE(call.player);
  StandInParent parent;
  ASSERT_GT(parent.pid(), 0);
  Agent agent(segments(), control(), parent.pid());
  ASSERT_TRUE(agent.becomesReady(5s));
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(agent.running()) << agent.standardError();

  parent.kill();
  const auto goneAt = Clock::now();
  const std::optional<int> status = agent.waitForExit(3s);
  const double exitSeconds = secondsSince(goneAt);
  ASSERT_TRUE(status) << "still running " << exitSeconds << " s after its parent ended";
  EXPECT_EQ(*status, 0) << agent.standardError();
  std::printf("exited %.3f s after its parent ended\n", exitSeconds);
  // One poll interval, and the stop.
  EXPECT_LT(exitSeconds,
            std::chrono::duration<double>(testing::kAgentPollInterval + testing::stretched(500ms))
                .count());
  EXPECT_TRUE(noSanitizerReport(agent.standardError()));

  for (const char* label : {"interviewer", "candidate"}) {
    SCOPED_TRACE(label);
    const std::vector<SegmentFile> segments = readSegments(this->segments(), label);
    print(segments);
    ASSERT_EQ(segments.size(), 1u);
    expectMarkedAndWhole(segments);
    EXPECT_GE(segments.front().framesRead(), kRate);
  }
}

TEST_F(AbruptEnd, ALostServerEndsTheRunWithStatusOneAndTheNextLaunchRecords) {
  Call call = playCall(*daemon_);
  ASSERT_TRUE(call.player);
  {
    Agent agent(segments(), control());
    ASSERT_TRUE(agent.becomesReady(5s));
    // Past the end of the first segments.
    std::this_thread::sleep_for(6s);
    daemon_->kill();
    const auto killedAt = Clock::now();
    const std::optional<int> status = agent.waitForExit(5s);
    ASSERT_TRUE(status) << "still running " << secondsSince(killedAt) << " s after the server died";
    std::printf("exited %.3f s after the server died\n", secondsSince(killedAt));
    EXPECT_EQ(*status, 1);
    const std::string errors = agent.standardError();
    EXPECT_EQ(linesStartingWith(errors, "Velkin capture stopped: ").size(), 1u) << errors;
    EXPECT_TRUE(noSanitizerReport(errors));
  }
  for (const char* label : {"interviewer", "candidate"}) {
    SCOPED_TRACE(label);
    const std::vector<SegmentFile> segments = readSegments(this->segments(), label);
    print(segments);
    ASSERT_GE(segments.size(), 2u);
    expectMarkedAndWhole(segments);
    EXPECT_GE(segments.front().framesRead(), kSegmentFrames);
  }

  // A server again, a new one; the next launch into the same directories.
  call = {};
  daemon_.reset();
  daemon_ = std::make_unique<testing::PulseDaemon>();
  ASSERT_EQ(daemon_->failure(), "");
  call = playCall(*daemon_);
  ASSERT_TRUE(call.player);
  Agent agent(segments(), control());
  ASSERT_TRUE(agent.becomesReady(5s));
  std::this_thread::sleep_for(2s);
  ASSERT_NO_FATAL_FAILURE(agent.stopInOrder());
  const std::string errors = agent.standardError();
  EXPECT_TRUE(linesStartingWith(errors, "Velkin ").empty()) << errors;
  for (const char* label : {"interviewer", "candidate"}) {
    SCOPED_TRACE(label);
    // This run's first segment replaced the earlier run's five seconds.
    const SegmentFile first = readSegmentFile(segments() / (std::string(label) + "-000001.caf"));
    std::printf("  after the relaunch %s: %lld frames, %s\n", first.path.filename().c_str(),
                static_cast<long long>(first.framesRead()), first.marked ? "marked" : "unmarked");
    expectMarkedAndWhole({first});
    EXPECT_GE(first.framesRead(), kRate * 3 / 2);
    EXPECT_LT(first.framesRead(), kSegmentFrames);
  }
}

}  // namespace
}  // namespace velkin::faults
