#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "EchoRoom.hpp"
#include "platform/webrtc/WebrtcEchoCanceller.hpp"
#ifdef VELKIN_RECOGNISER_MODEL
#include <set>
#include <sstream>

#include "PocketSphinxRecogniser.hpp"
#endif

namespace velkin {
namespace {

using echo::at;
using Signals = std::vector<std::vector<float>>;

// Each channel of `mic` through one canceller of as many channels, chunk by chunk, and moved
// earlier by its latency: on the timeline of what went in if the latency is true.
Signals cancel(const std::vector<float>& far, Signals mic) {
  const auto channels = static_cast<uint32_t>(mic.size()), frames = uint32_t{echo::rate / 100};
  auto canceller = makeWebrtcEchoCancellerService()->makeEchoCanceller(echo::rate, channels, 1);
  std::vector<float> near(frames * channels);
  for (size_t start = 0; start + frames <= far.size(); start += frames) {
    for (size_t n = 0; n < near.size(); ++n) {
      near[n] = mic[n % channels][start + n / channels];
    }
    EXPECT_EQ(canceller.value()->process({far.data() + start, frames}, near), std::nullopt);
    for (size_t n = 0; n < near.size(); ++n) {
      mic[n % channels][start + n / channels] = near[n];
    }
  }
  for (auto& channel : mic) {
    channel.erase(channel.begin(), channel.begin() + canceller.value()->latencyFrames());
    channel.resize(far.size());  // its last frames never came out
  }
  return mic;
}

// 10 log10 of a's energy over that of b - a, or of b alone, over [from, to) seconds.
double ratio(const std::vector<float>& a, const std::vector<float>& b, double from, double to,
             bool difference = true) {
  double num = 0, den = 0;
  for (size_t n = at(from); n < at(to); ++n) {
    const double other = difference ? double(b[n]) - a[n] : b[n];
    num += double(a[n]) * a[n];
    den += other * other;
  }
  return 10 * std::log10(num / den);
}

TEST(EchoQualityTest, RemovesTheEchoAndKeepsTheVoiceOnEveryMicrophoneLayout) {
  const echo::Call call = echo::simulateCall();
  ASSERT_TRUE(std::any_of(call.voice.begin(), call.voice.end(), [](float s) { return s != 0; }))
      << "espeak-ng and sox must be installed";
  // From 5 s to 7.5 s the second channel is the same as the first ("stereo") or the microphone
  // gives silence ("muted stereo"): the cancellers rest, and must take up at 7.5 s where they were.
  const std::pair<const char*, std::vector<int>> layouts[] = {
      {"mono", {0}}, {"same stereo", {1, 1}}, {"stereo", {0, 1}}, {"muted stereo", {0, 1}}};
  for (const auto& [name, rooms] : layouts) {
    Signals mic(rooms.size());
    for (size_t c = 0; c < rooms.size(); ++c) {
      mic[c] = call.mic[rooms[c]];
      std::fill(&mic[c][at(5)], &mic[c][name == layouts[3].first ? at(7.5) : at(5)], 0.0f);
      std::copy(&call.mic[0][at(5)], &call.mic[0][name == layouts[2].first ? at(7.5) : at(5)],
                &mic[c][at(5)]);
    }
    const Signals out = cancel(call.far, mic);
    for (size_t c = 0; c < out.size(); ++c) {
      // Converged 3 s after the interviewer first speaks, again after 7.5 s and after the double
      // talk (up to the end that came out); the candidate alone once the last echo has died away.
      const std::vector<float>& echo = call.echo[rooms[c]];
      // ERLE at three times; SDR against the clean voice, on the timeline by the canceller's
      // latency, of the near end alone and in double talk.
      const double figures[] = {
          ratio(echo, out[c], 3.5, 5, false), ratio(echo, out[c], 7.6, 9, false),
          ratio(echo, out[c], 23.5, 27.9, false), ratio(call.voice, out[c], 9.3, 15),
          ratio(call.voice, out[c], 15, 23)};
      std::printf("echo %s, channel %zu: ERLE 3.5 s, 7.6 s, 23.5 s; SDR alone, both:", name, c);
      const double least[] = {25, 25, 25, 15, 6};
      for (int i = 0; i < 5; ++i) {
        std::printf(" %.1f dB%s", figures[i], i == 4 ? "\n" : "");
        EXPECT_GE(figures[i], least[i]) << name << ", channel " << c << ", figure " << i;
      }
    }
  }
}

// A tone on both channels, the far end silent but for an infinity, and a NaN
// in the first chunk: channel 1 the same as channel 0 for 3 s (its canceller
// rests), then at half the level; silence from 4 s to 4.5 s (all rest).
// Nothing the module held back from before a rest comes out after it, and no
// sample that is not a number stays.
TEST(EchoQualityTest, NothingHeldBackCrossesARestAndNothingButNumbersComesOut) {
  auto canceller = makeWebrtcEchoCancellerService()->makeEchoCanceller(48000, 2, 1);
  std::vector<float> far(480), near(960), out;
  for (size_t n = 0; n < at(5); n += 480) {
    for (size_t f = 0; f < 960; ++f) {
      const float level = n >= at(4) && n < at(4.5) ? 0.0f : f % 2 && n >= at(3) ? 0.15f : 0.3f;
      near[f] = level * std::sin(0.05f * static_cast<float>(n + f / 2));
    }
    near[3] = n == 0 ? NAN : near[3];
    far[7] = n == 0 ? INFINITY : 0.0f;
    ASSERT_EQ(canceller.value()->process(far, near), std::nullopt);
    out.insert(out.end(), near.begin(), near.end());
  }
  double stale = 0, taken = 0;
  for (size_t n = 0; n < 370; ++n) {
    stale += std::fabs(out[2 * (at(4.5) + n)]);
    taken += std::fabs(out[2 * (at(3) + n) + 1] - out[2 * (at(3) + n)]);
  }
  EXPECT_LT(stale / 370, 0.01);
  EXPECT_LT(taken / 370, 0.01);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float s) { return std::isfinite(s); }));
}

// Whether the module runs at the rate or behind resamplers, a tone passes as late as it says.
TEST(EchoQualityTest, EveryRatePassesTheNearEndAsLateAsItSays) {
  for (int rate : {16000, 44100, 96000}) {
    auto canceller = makeWebrtcEchoCancellerService()->makeEchoCanceller(rate, 1, 1);
    const auto frames = static_cast<size_t>(rate / 100),
               late = static_cast<size_t>(canceller.value()->latencyFrames());
    std::vector<float> far(frames), in, out;
    for (size_t n = 0; n < 100 * frames; n += frames) {
      std::vector<float> near(frames);
      for (size_t f = 0; f < frames; ++f) {
        near[f] = 0.3f * std::sin(6283.0f * static_cast<float>(n + f) / static_cast<float>(rate));
      }
      in.insert(in.end(), near.begin(), near.end());
      ASSERT_EQ(canceller.value()->process(far, near), std::nullopt) << rate;
      out.insert(out.end(), near.begin(), near.end());
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(late));
    EXPECT_GE(ratio(in, out, 0.5 * rate / 48000, 0.9 * rate / 48000), 20) << rate;
  }
}

#ifdef VELKIN_RECOGNISER_MODEL
// While only the interviewer speaks, a recogniser finds in the cancelled track at
// most a tenth of the interviewer's words that it finds in the microphone's.
TEST(EchoQualityTest, TheRecogniserHearsTheInterviewerInTheCandidateTrackNoMore) {
  const echo::Call call = echo::simulateCall();
  std::string error;
  auto recogniser = transcribe::PocketSphinxRecogniser::create(VELKIN_RECOGNISER_MODEL, error);
  ASSERT_TRUE(recogniser) << error;
  const std::set<std::string> spoken = {"thank", "you", "for",     "joining", "us",  "tell",  "me",
                                        "about", "a",   "project", "that",    "are", "proud", "of"};
  const auto words = [&](const std::vector<float>& track) {
    size_t found = 0;
    for (const auto& [from, to] : {std::pair{0.5, 9.0}, std::pair{23.0, 28.0}}) {
      std::vector<int16_t> samples;  // 16 kHz: every third frame of a three-frame average
      for (size_t n = at(from); n + 3 <= at(to); n += 3) {
        samples.push_back(int16_t(std::lrint((track[n] + track[n + 1] + track[n + 2]) * 10922)));
      }
      std::istringstream heard(recogniser->transcribe(samples).value_or(""));
      for (std::string word; heard >> word;) {
        found += spoken.count(word);
      }
    }
    return found;
  };
  const size_t raw = words(call.mic[0]), cancelled = words(cancel(call.far, {call.mic[0]})[0]);
  std::printf("interviewer's words heard: %zu in the microphone, %zu once cancelled\n", raw,
              cancelled);
  EXPECT_GE(raw, 5u);
  EXPECT_LE(cancelled * 10, raw);
}
#endif

}  // namespace
}  // namespace velkin
