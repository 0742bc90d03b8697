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

// 48 kHz stereo 16-bit CAF, every frame of it read.
bool wholeAndValid(const Segment& segment) {
  return segment.valid && segment.framesRead() == segment.frames;
}

struct Match {
  int64_t firstSound = 0;  // the track's first frame of the played noise
  int64_t offset = 0;      // played frame = track frame + offset
  int64_t mismatches = 0;  // frames after firstSound that are not the played one
};

// Where the noise played with `seed` lies in `track`, and how much of the track
// after that is not exactly the played noise, frame for frame.
std::optional<Match> matchPlayed(const std::vector<float>& track, uint64_t seed,
                                 int64_t framesPlayed) {
  const auto first = std::find_if(track.begin(), track.end(),
                                  [](float x) { return std::fabs(x) > sampleTolerance; });
  if (first == track.end()) {
    return std::nullopt;
  }
  Match match;
  match.firstSound = first - track.begin();
  constexpr int64_t probe = 64;
  if (match.firstSound + probe > int64_t(track.size())) {
    return std::nullopt;
  }
  bool found = false;
  for (int64_t played = 0; played < framesPlayed && !found; ++played) {
    found = true;
    for (int64_t i = 0; i < probe && found; ++i) {
      found = std::fabs(track[size_t(match.firstSound + i)] - noise(seed, played + i)) <=
              sampleTolerance;
    }
    if (found) {
      match.offset = played - match.firstSound;
    }
  }
  if (!found) {
    return std::nullopt;
  }
  for (int64_t i = match.firstSound; i < int64_t(track.size()); ++i) {
    if (std::fabs(track[size_t(i)] - noise(seed, i + match.offset)) > sampleTolerance) {
      ++match.mismatches;
    }
  }
  return match;
}

class AgentProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(daemon_.failure(), "");
    directory_ = fs::path(daemon_.directory()) / "run";
    fs::create_directories(directory_);
  }

  fs::path segments() const { return directory_ / "segments"; }
  fs::path control() const { return directory_ / "control"; }

  std::unique_ptr<testing::AgentProcess> startAgent() {
    auto agent = std::make_unique<testing::AgentProcess>(
        VELKIN_AGENT_BINARY, std::vector<std::string>{segments().string(), control().string()});
    const bool ready = agent->waitForLine("VELKIN_CAPTURE_READY " + segments().string(), 5s);
    EXPECT_TRUE(ready) << agent->standardError();
    if (!ready) {
      return nullptr;
    }
    // Written right after the line.
    EXPECT_TRUE(testing::waitFor([&] { return fs::exists(control() / "capture.ready"); }, 1s));
    return agent;
  }

  PulseDaemon daemon_;
  fs::path directory_;
};

TEST_F(AgentProcess, RecordsEveryPlayedFrameOnceInFiveSecondSegmentsAndStopsPromptly) {
  const auto quiet = testing::settleSinks(daemon_, {"call", "mic_in"});
  ASSERT_TRUE(quiet);
  // Noise, so that any frame lost or repeated anywhere shows; one player, so that
  // frame n reaches both sinks at the same moment; and a deep buffer, so that the
  // player never runs dry on a busy machine (the server would skip frames).
  Player player({{"call", [](int64_t n) { return noise(callSeed, n); }},
                 {"mic_in", [](int64_t n) { return noise(microphoneSeed, n); }}},
                250ms);
  std::this_thread::sleep_for(100ms);

  std::unique_ptr<testing::AgentProcess> agent = startAgent();
  ASSERT_TRUE(agent);
  std::this_thread::sleep_for(11500ms);
  std::ofstream(control() / "capture.stop").close();
  const int64_t stopAt = monotonicNanoseconds();
  const std::optional<int> status = agent->waitForExit(3s);
  const double exitSeconds = double(monotonicNanoseconds() - stopAt) / 1e9;
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0) << agent->standardError();
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
    const std::vector<Segment> segments = readSegments(this->segments(), label);
    ASSERT_GE(segments.size(), 3u);
    for (size_t i = 0; i < segments.size(); ++i) {
      EXPECT_TRUE(wholeAndValid(segments[i])) << segments[i].path;
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
