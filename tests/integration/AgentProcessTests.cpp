// The agent binary, run as its parent runs it, against a private PulseAudio
// daemon; its segments read back with libsndfile.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"
#include "Segments.hpp"

#ifndef VELKIN_AGENT_BINARY
#error "VELKIN_AGENT_BINARY must name the agent"
#endif

namespace velkin {
namespace {

using testing::concatenated;
using testing::monotonicNanoseconds;
using testing::noise;
using testing::Player;
using testing::PulseDaemon;
using testing::readSegments;
using testing::Segment;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int rate = 48000;
constexpr int64_t segmentFrames = 5 * rate;
constexpr int64_t bufferFrames = rate / 50;
constexpr uint64_t callSeed = 1;
constexpr uint64_t microphoneSeed = 2;
// Two conversions to 16 bits on the way (the sink's, the segment's), each within
// a step of 1/32768.
constexpr float sampleTolerance = 1e-4f;

struct Match {
  int64_t firstSound = 0;  // the track's first frame of the played noise
  int64_t offset = 0;      // played frame = track frame + offset
  int64_t mismatches = 0;  // frames after firstSound that are not the played one
};

// Where the noise played with `seed` lies in `track`, and how much of the track
// after that is not exactly the played noise, frame for frame.
std::optional<Match> matchPlayed(const std::vector<float>& track, uint64_t seed,
                                 int64_t framesPlayed) {
  const auto differs = [&](int64_t frame, int64_t offset) {
    return std::fabs(track[size_t(frame)] - noise(seed, frame + offset)) > sampleTolerance;
  };
  Match match;
  const int64_t frames = int64_t(track.size());
  while (match.firstSound < frames &&
         std::fabs(track[size_t(match.firstSound)]) <= sampleTolerance) {
    ++match.firstSound;
  }
  const int64_t probeEnd = match.firstSound + 64;
  for (match.offset = -match.firstSound;
       probeEnd <= frames && match.offset + match.firstSound < framesPlayed; ++match.offset) {
    int64_t i = match.firstSound;
    while (i < probeEnd && !differs(i, match.offset)) {
      ++i;
    }
    if (i == probeEnd) {
      for (i = match.firstSound; i < frames; ++i) {
        match.mismatches += differs(i, match.offset) ? 1 : 0;
      }
      return match;
    }
  }
  return std::nullopt;
}

TEST(AgentProcess, RecordsEveryPlayedFrameOnceInFiveSecondSegmentsAndStopsPromptly) {
  PulseDaemon daemon;
  ASSERT_EQ(daemon.failure(), "");
  const fs::path segmentDirectory = fs::path(daemon.directory()) / "segments";
  const fs::path control = fs::path(daemon.directory()) / "control";
  const auto quiet = testing::settleSinks(daemon, {"call", "mic_in"});
  ASSERT_TRUE(quiet);
  // Noise, so that any frame lost or repeated anywhere shows; one player, so that
  // frame n reaches both sinks at the same moment; and a deep buffer, so that the
  // player never runs dry on a busy machine (the server would skip frames).
  Player player({{"call", [](int64_t n) { return noise(callSeed, n); }},
                 {"mic_in", [](int64_t n) { return noise(microphoneSeed, n); }}},
                250ms);
  std::this_thread::sleep_for(100ms);

  testing::AgentProcess agent(VELKIN_AGENT_BINARY, {segmentDirectory.string(), control.string()});
  ASSERT_TRUE(agent.waitForLine("VELKIN_CAPTURE_READY " + segmentDirectory.string(), 5s))
      << agent.standardError();
  // Past the first rotation: a whole segment and the frames that follow it.
  std::this_thread::sleep_for(6500ms);
  std::ofstream(control / "capture.stop").close();
  const int64_t stopAt = monotonicNanoseconds();
  const std::optional<int> status = agent.waitForExit(3s);
  const double exitSeconds = double(monotonicNanoseconds() - stopAt) / 1e9;
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0) << agent.standardError();
  std::printf("exited %.3f s after the stop file appeared\n", exitSeconds);
  // The next poll, and the stop.
  EXPECT_LT(exitSeconds,
            std::chrono::duration<double>(testing::kAgentPollInterval + testing::stretched(100ms))
                .count());
  const int64_t framesPlayed = player.framesPlayed();

  std::optional<int64_t> offsets[2];
  for (const auto& [label, seed, index] :
       {std::tuple("interviewer", callSeed, 0), std::tuple("candidate", microphoneSeed, 1)}) {
    SCOPED_TRACE(label);
    const std::vector<Segment> segments = readSegments(segmentDirectory, label);
    ASSERT_GE(segments.size(), 2u);
    for (size_t i = 0; i < segments.size(); ++i) {
      // 48 kHz stereo 16-bit CAF, every frame of it read.
      EXPECT_TRUE(segments[i].valid && segments[i].framesRead() == segments[i].frames)
          << segments[i].path;
      EXPECT_TRUE(segments[i].marked) << segments[i].path;
      if (i + 1 < segments.size()) {
        EXPECT_GE(segments[i].framesRead(), segmentFrames) << segments[i].path;
        EXPECT_LE(segments[i].framesRead(), segmentFrames + bufferFrames) << segments[i].path;
      }
    }
    const std::vector<float> track = concatenated(segments);
    const std::optional<Match> match = matchPlayed(track, seed, framesPlayed);
    ASSERT_TRUE(match) << "the played noise is not in the track";
    std::printf("%s: %zu segments, %.3f s, played noise from %.3f s on, %lld frames differ\n",
                label, segments.size(), double(track.size()) / rate,
                double(match->firstSound) / rate, static_cast<long long>(match->mismatches));
    EXPECT_EQ(match->mismatches, 0) << "frames lost, repeated or foreign in the track";
    // What came before the first sound is the silence before the first audio.
    EXPECT_TRUE(std::all_of(track.begin(), track.begin() + match->firstSound,
                            [](float x) { return x == 0.0f; }));
    EXPECT_LT(match->firstSound, rate * 3 / 10);
    offsets[index] = match->offset;
  }
  ASSERT_TRUE(offsets[0] && offsets[1]);
  // The same played frame lies at the same place in both tracks.
  const double apart = double(*offsets[0] - *offsets[1]) / rate;
  std::printf("the tracks are %.1f ms apart\n", apart * 1000);
  EXPECT_LT(std::fabs(apart), 0.025);
}

}  // namespace
}  // namespace velkin
