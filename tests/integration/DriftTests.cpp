// The agent binary recording a microphone whose clock runs off the system's (a
// pipe source fed at a paced rate) beside the call, against a private
// PulseAudio daemon; its segments read back with libsndfile.
//
// VELKIN_DRIFT_PPM (a comma-separated list) and VELKIN_DRIFT_SECONDS replace the
// drifts and the length of the drifting run: scripts/bench-drift runs it longer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"
#include "Segments.hpp"

namespace velkin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int64_t rate = 48000;
constexpr int64_t clickFrames = 48;

struct Tracks {
  std::vector<float> call;
  std::vector<float> microphone;
};

// Records `seconds` of the call beside a microphone `ppm` off the system clock,
// each playing `callSignal` and `microphoneSignal`; expects a clean run in
// segments of 240,000 frames.
Tracks record(double ppm, std::chrono::milliseconds length, const testing::Signal& callSignal,
              const testing::Signal& microphoneSignal,
              const std::function<void(const fs::path&)>& examine = {}) {
  testing::PulseDaemon daemon;
  EXPECT_EQ(daemon.failure(), "");
  const fs::path segments = fs::path(daemon.directory()) / "segments";
  const fs::path control = fs::path(daemon.directory()) / "control";
  const auto quiet = testing::settleSinks(daemon, {"call"});
  EXPECT_TRUE(quiet);
  // Both fed well ahead, so that a stall of this process on a busy machine never
  // leaves a hole in what they play.
  testing::Player player({{"call", callSignal}}, 1000ms);
  testing::PipeSource microphone(daemon, ppm, microphoneSignal);
  EXPECT_TRUE(microphone.ok());
  std::this_thread::sleep_for(100ms);

  testing::AgentProcess agent({VELKIN_AGENT_BINARY, segments.string(), control.string()});
  EXPECT_TRUE(agent.waitForReadiness(segments)) << agent.standardError();
  std::this_thread::sleep_for(length);
  EXPECT_EQ(agent.stop(control), 0) << agent.standardError();
  EXPECT_EQ(agent.errorLines("Velkin "), 0u) << agent.standardError();

  if (examine) {
    examine(segments);
  }
  Tracks tracks;
  for (auto [label, track] :
       {std::pair("interviewer", &tracks.call), std::pair("candidate", &tracks.microphone)}) {
    const std::vector<testing::Segment> files = testing::readSegments(segments, label);
    EXPECT_GE(files.size(), 2u) << label;
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_TRUE(files[i].sound()) << files[i].path;
      EXPECT_TRUE(i + 1 == files.size() || files[i].frames == 5 * rate) << files[i].path;
      track->insert(track->end(), files[i].left.begin(), files[i].left.end());
    }
  }
  return tracks;
}

// A 1 ms click at the start of every second of the call's time, on a tone; a
// source `ppm` fast makes that many more frames in a second.
testing::Signal clicks(double ppm, double hertz) {
  const double period = double(rate) * (1 + ppm * 1e-6);
  return [period, hertz](int64_t n) {
    return std::fmod(double(n), period) < clickFrames ? 0.9f : testing::tone(n, hertz, 0.2f);
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

std::vector<double> drifts() {
  std::vector<double> list;
  std::istringstream text(std::getenv("VELKIN_DRIFT_PPM") ? std::getenv("VELKIN_DRIFT_PPM")
                                                          : "1000,-1000");
  for (std::string item; std::getline(text, item, ',');) {
    list.push_back(std::stod(item));
  }
  return list;
}

// Uncorrected, 1000 ppm moves the tracks 30 ms apart in the 30 s; a slow
// microphone's shortfall also becomes a block of silence once it passes 100 ms.
TEST(Drift, AMicrophoneOnAClockOfItsOwnStaysWithTheCall) {
  const char* seconds = std::getenv("VELKIN_DRIFT_SECONDS");
  const auto length =
      std::chrono::milliseconds(int64_t((seconds ? std::stod(seconds) : 30) * 1000));
  for (const double ppm : drifts()) {
    SCOPED_TRACE(ppm);
    const Tracks tracks = record(ppm, length, clicks(0, 440), clicks(ppm, 1000));
    const std::vector<int64_t> call = clicksIn(tracks.call);
    const std::vector<int64_t> microphone = clicksIn(tracks.microphone);
    ASSERT_GE(call.size(), 3u);
    ASSERT_GE(microphone.size(), 3u);
    // Each call click beside the microphone's nearest the first one's offset.
    const auto nearest = [&](int64_t frame) {
      return *std::min_element(microphone.begin(), microphone.end(), [&](int64_t a, int64_t b) {
        return std::abs(a - frame) < std::abs(b - frame);
      });
    };
    const int64_t start = nearest(call[0]) - call[0];
    int64_t most = 0;
    int64_t previous = 0;
    int64_t worstStep = 0;
    for (const int64_t click : call) {
      const int64_t moved = nearest(click + start) - click - start;
      most = std::max(most, std::abs(moved));
      // From one second to the next: no audio dropped, no silence inserted.
      worstStep = std::max(worstStep, std::abs(moved - previous));
      previous = moved;
    }
    std::printf(
        "%+.0f ppm over %zu s: the clicks moved at most %.1f ms apart, %.1f ms at the end;"
        " the largest step in a second %.2f ms\n",
        ppm, call.size(), double(most) * 1000 / rate, double(previous) * 1000 / rate,
        double(worstStep) * 1000 / rate);
    EXPECT_LT(most, rate * 25 / 1000);
    EXPECT_LT(worstStep, rate * 5 / 1000);
    const auto firstSound = testing::firstAbove(tracks.microphone, 0.1f);
    ASSERT_TRUE(firstSound);
    EXPECT_LT(testing::longestZeroRun(tracks.microphone, *firstSound).length, rate * 5 / 1000);
  }
}

// Devices on the system clock are copied through: every played frame, exactly.
TEST(Drift, OnTheSystemClockBothTracksStayBitExact) {
  const auto played = [](uint64_t seed) {
    return [seed](int64_t n) { return testing::noise(seed, n); };
  };
  record(0, 6s, played(1), played(2), [&](const fs::path& segments) {
    for (const uint64_t seed : {1, 2}) {
      const testing::Recording r = testing::examine(
          segments, seed == 1 ? "interviewer" : "candidate", played(seed), rate * 60);
      EXPECT_EQ(r.mismatches, 0) << "seed " << seed;
    }
  });
}

}  // namespace
}  // namespace velkin
