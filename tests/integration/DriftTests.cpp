// The agent binary recording a microphone whose clock runs off the system's (a
// pipe source fed at a paced rate) beside the call, against a private
// PulseAudio daemon; its segments read back with libsndfile.
//
// VELKIN_DRIFT_PPM and VELKIN_DRIFT_SECONDS replace the drifts (±1000 ppm) and
// the length (30 s) of the drifting run: scripts/bench-drift runs it longer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"
#include "Segments.hpp"

namespace velkin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int64_t rate = 48000;
constexpr int64_t clickFrames = 48;

// Records `length` of the call beside a microphone `ppm` off the system clock,
// each playing its signal; expects a clean run in segments of 240,000 frames.
std::pair<testing::Recording, testing::Recording> record(double ppm,
                                                         std::chrono::milliseconds length,
                                                         const testing::Signal& call,
                                                         const testing::Signal& microphone) {
  testing::PulseDaemon daemon;
  EXPECT_EQ(daemon.failure(), "");
  const fs::path segments = fs::path(daemon.directory()) / "segments";
  const fs::path control = fs::path(daemon.directory()) / "control";
  const auto quiet = testing::settleSinks(daemon, {"call"});
  // Both fed well ahead, so that a stall of this process on a busy machine never
  // leaves a hole in what they play.
  testing::Player player({{"call", call}}, 1000ms);
  testing::PipeSource source(daemon, ppm, microphone);
  EXPECT_TRUE(quiet && source.ok());
  std::this_thread::sleep_for(100ms);

  testing::AgentProcess agent({VELKIN_AGENT_BINARY, segments.string(), control.string()});
  EXPECT_TRUE(agent.waitForReadiness(segments)) << agent.standardError();
  std::this_thread::sleep_for(length);
  EXPECT_EQ(agent.stop(control), 0) << agent.standardError();
  EXPECT_EQ(agent.errorLines("Velkin "), 0u) << agent.standardError();
  const int64_t bound = rate * (length.count() / 1000 + 10);
  std::pair tracks{testing::examine(segments, "interviewer", call, bound),
                   testing::examine(segments, "candidate", microphone, bound)};
  for (const testing::Recording* r : {&tracks.first, &tracks.second}) {
    EXPECT_EQ(r->unsound, 0u);
    EXPECT_GE(r->segments.size(), 2u);
    for (size_t i = 0; i + 1 < r->segments.size(); ++i) {
      EXPECT_EQ(r->segments[i].frames, 5 * rate) << r->segments[i].path;
    }
  }
  return tracks;
}

// A 1 ms click at the start of every second of the call's time, on a tone; a
// source `ppm` fast makes that many more frames in a second.
testing::Signal clicks(double ppm, double hertz) {
  const double period = double(rate) * (1 + ppm * 1e-6);
  return [period, hertz](int64_t n) {
    return std::fmod(double(n), period) < 48 ? 0.9f : testing::tone(n, hertz, 0.2f);
  };
}

std::vector<int64_t> clicksIn(const std::vector<float>& track) {
  std::vector<int64_t> found;
  for (auto at = testing::firstAbove(track, 0.6f); at;
       at = testing::firstAbove(track, 0.6f, *at + rate / 2)) {
    found.push_back(*at);
  }
  return found;
}

// How the k-th click of `a` moved against the k-th of `b` from their first (ms):
// at most, at the end, and the largest step from one second to the next (where
// dropped audio or inserted silence would show).
struct Moved {
  double most = 0;
  double last = 0;
  double step = 0;
};
Moved moved(const std::vector<int64_t>& a, const std::vector<int64_t>& b) {
  Moved result;
  for (size_t k = 1; k < std::min(a.size(), b.size()); ++k) {
    const double previous = std::exchange(result.last, double(a[k] - a[0] - b[k] + b[0]) / 48);
    result.most = std::max(result.most, std::fabs(result.last));
    result.step = std::max(result.step, std::fabs(result.last - previous));
  }
  return result;
}

// The microphone's clicks come every second of the system clock, and stay so on
// the timeline. Uncorrected, 1000 ppm moves them 30 ms in the 30 s; a slow
// microphone's shortfall also becomes a block of silence once it passes 100 ms.
// (The call's clicks come every 48,000 frames of its sink's clock, which need
// not be the system's: PulseAudio's null sink runs a few hundred ppm fast when
// its pieces are not whole microseconds, and is then brought back too.)
TEST(Drift, AMicrophoneOnAClockOfItsOwnStaysOnTheTimeline) {
  const char* ppm = std::getenv("VELKIN_DRIFT_PPM");
  const char* seconds = std::getenv("VELKIN_DRIFT_SECONDS");
  const auto length =
      std::chrono::milliseconds(int64_t(1000 * (seconds ? std::stod(seconds) : 30)));
  for (const double drift : ppm ? std::vector{std::stod(ppm)} : std::vector{1000.0, -1000.0}) {
    SCOPED_TRACE(drift);
    const auto [callTrack, microphoneTrack] =
        record(drift, length, clicks(0, 440), clicks(drift, 1000));
    const std::vector<int64_t> microphone = clicksIn(microphoneTrack.marked);
    std::vector<int64_t> seconds(microphone.size());
    for (size_t k = 0; k < seconds.size(); ++k) {
      seconds[k] = int64_t(k) * rate;
    }
    ASSERT_GE(microphone.size(), length.count() / 1000 - 2);
    const Moved timeline = moved(microphone, seconds);
    const Moved call = moved(microphone, clicksIn(callTrack.marked));
    std::printf(
        "%+.0f ppm, %zu s: the microphone's clicks moved at most %.1f ms on the timeline, %.1f ms"
        " at the end, by at most %.2f ms in a second; against the call's, at most %.1f ms, %.1f"
        " ms at the end\n",
        drift, microphone.size(), timeline.most, timeline.last, timeline.step, call.most,
        call.last);
    EXPECT_LT(timeline.most, 25);
    EXPECT_LT(timeline.step, 5);
    EXPECT_LT(testing::longestZeroRun(microphoneTrack.marked, microphoneTrack.firstSound).length,
              rate * 5 / 1000);
  }
}

// Devices on the system clock are copied through: every played frame, exactly.
TEST(Drift, OnTheSystemClockBothTracksStayBitExact) {
  const auto played = [](uint64_t seed) {
    return [seed](int64_t n) { return testing::noise(seed, n); };
  };
  const auto [call, microphone] = record(0, 6s, played(1), played(2));
  EXPECT_EQ(call.mismatches, 0) << call.firstMismatch;
  EXPECT_EQ(microphone.mismatches, 0) << microphone.firstMismatch;
}

}  // namespace
}  // namespace velkin
