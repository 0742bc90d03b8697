// The agent binary, run as its parent runs it, against a private audio server;
// its segments read back with libsndfile.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"
#include "Segments.hpp"

namespace velkin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int64_t rate = 48000;

TEST(AgentProcess, RecordsEveryPlayedFrameOnceInFiveSecondSegmentsAndStopsPromptly) {
  testing::PulseDaemon daemon;
  ASSERT_EQ(daemon.failure(), "");
  const fs::path segments = fs::path(daemon.directory()) / "segments";
  const fs::path control = fs::path(daemon.directory()) / "control";
  const auto quiet = testing::settleSinks(daemon, {"call", "mic_in"});
  ASSERT_TRUE(quiet);
  // Noise, so that any frame lost or repeated anywhere shows; one player, so that
  // frame n reaches both sinks at the same moment; and a deep buffer, so that the
  // player never runs dry on a busy machine (the server would skip frames).
  const auto played = [](uint64_t seed) {
    return [seed](int64_t n) { return testing::noise(seed, n); };
  };
  testing::Player player({{"call", played(1)}, {"mic_in", played(2)}}, 250ms);
  std::this_thread::sleep_for(100ms);

  testing::AgentProcess agent({VELKIN_AGENT_BINARY, segments.string(), control.string()});
  ASSERT_TRUE(agent.waitForReadiness(segments)) << agent.standardError();
  // Past the first rotation: a whole segment and the frames that follow it. The
  // agent polls every 0.5 s from its readiness: the stop file lands half-way
  // between two polls, so that what is left is the stop itself, whatever the
  // machine's load (the stop-to-exit time at any phase is a figure of
  // scripts/bench-peers).
  std::this_thread::sleep_for(6500ms + testing::kAgentPollInterval / 2);
  const auto stopAt = std::chrono::steady_clock::now();
  ASSERT_EQ(agent.stop(control), 0) << agent.standardError();
  EXPECT_EQ(agent.errorLines("Velkin "), 0u) << agent.standardError();
  // The next poll, and a stop short enough that one seen a whole interval late
  // still ends within 0.6 s.
  EXPECT_LT(agent.endedAt() - stopAt, testing::kAgentPollInterval / 2 + testing::stretched(150ms));

  int64_t offsets[2] = {};
  for (const uint64_t track : {0, 1}) {
    const char* label = track == 0 ? "interviewer" : "candidate";
    SCOPED_TRACE(label);
    const testing::Recording r =
        testing::examine(segments, label, played(track + 1), player.framesPlayed());
    ASSERT_GE(r.segments.size(), 2u);
    EXPECT_EQ(r.unsound, 0u);
    for (std::size_t i = 0; i + 1 < r.segments.size(); ++i) {
      // Five seconds, and at most one buffer of the server's more.
      EXPECT_GE(r.segments[i].frames, 5 * rate) << r.segments[i].path;
      EXPECT_LE(r.segments[i].frames, 5 * rate + rate / 50) << r.segments[i].path;
    }
    EXPECT_EQ(r.mismatches, 0) << "frames lost, repeated or foreign in the track";
    // What came before the first sound is the silence before the first audio.
    EXPECT_TRUE(std::all_of(r.marked.begin(), r.marked.begin() + r.firstSound,
                            [](float x) { return x == 0.0f; }));
    EXPECT_LT(r.firstSound, rate * 3 / 10);
    offsets[track] = r.offset;
  }
  // The same played frame lies at the same place in both tracks.
  EXPECT_LT(std::abs(offsets[0] - offsets[1]), rate / 40) << "frames apart";
}

}  // namespace
}  // namespace velkin
