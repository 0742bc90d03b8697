#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "EchoRoom.hpp"
#include "platform/webrtc/WebrtcEchoCanceller.hpp"

namespace velkin {
namespace {

using echo::at;
using Signals = std::vector<std::vector<float>>;

// Each channel of `mic` through one canceller of as many channels, chunk by chunk.
Signals cancel(const std::vector<float>& far, const Signals& mic) {
  const auto channels = static_cast<uint32_t>(mic.size());
  auto canceller = makeWebrtcEchoCancellerService()->makeEchoCanceller(echo::rate, channels, 1);
  EXPECT_TRUE(canceller.ok()) << canceller.error().description();
  const auto frames = static_cast<size_t>(canceller.value()->framesPerChunk());
  Signals out(channels, std::vector<float>(far.size()));
  std::vector<float> near(frames * channels);
  for (size_t start = 0; start + frames <= far.size(); start += frames) {
    for (size_t n = 0; n < near.size(); ++n) {
      near[n] = mic[n % channels][start + n / channels];
    }
    EXPECT_EQ(canceller.value()->process({far.data() + start, frames}, near), std::nullopt);
    for (size_t n = 0; n < near.size(); ++n) {
      out[n % channels][start + n / channels] = near[n];
    }
  }
  return out;
}

// 10 log10 of a's energy over that of a - b (b delayed by `lag` samples), over
// [from, to) seconds; b empty: of a over b's.
double ratio(const std::vector<float>& a, const std::vector<float>& b, double from, double to,
             size_t lag = 0, bool difference = true) {
  double num = 0, den = 0;
  for (size_t n = at(from); n < at(to); ++n) {
    const double other = difference ? double(b[n]) - a[n - lag] : b[n];
    num += double(a[n - lag]) * a[n - lag];
    den += other * other;
  }
  return 10 * std::log10(num / den);
}

TEST(EchoQualityTest, RemovesTheEchoAndKeepsTheVoiceOnEveryMicrophoneLayout) {
  const echo::Call call = echo::simulateCall();
  ASSERT_FALSE(call.far.empty()) << "espeak-ng and sox must be installed";
  // At 48 kHz the module cancels in three bands and joins them again, which
  // delays the voice and shifts its phase (by up to 4 samples across the speech
  // band; the band edge near 8 kHz drops by 3.7 dB) even with nothing to
  // cancel. The voice as the module passes it with a silent far end shows what
  // the cancelling itself does to it; the figures against the clean voice are
  // given as well.
  const Signals passed =
      cancel(std::vector<float>(call.far.size()), {call.voice[0], call.voice[1]});
  size_t lag = 0;
  for (size_t l = 0; l < 1000; ++l) {
    lag = ratio(call.voice[0], passed[0], 10, 11, l) > ratio(call.voice[0], passed[0], 10, 11, lag)
              ? l
              : lag;
  }
  std::printf("echo: the module delays the near end by %zu samples\n", lag);
  // Stereo whose channels are the same from 5 s to 7.5 s: long enough for the second
  // channel's own canceller to rest, which must take up where it was at 7.5 s.
  for (const std::vector<int>& rooms :
       {std::vector{0}, std::vector{0, 0}, std::vector{0, 1}, std::vector{0, 1, 1}}) {
    const char* names[] = {"mono", "same stereo", "stereo", "stereo resting"};
    const char* name = names[rooms.size() == 1 ? 0 : rooms.size() == 3 ? 3 : rooms[1] + 1];
    SCOPED_TRACE(name);
    Signals mic;
    for (int room : rooms) {
      mic.push_back(call.mic[room]);
    }
    if (rooms.size() == 3) {
      mic.pop_back();
      std::copy(&mic[0][at(5)], &mic[0][at(7.5)], &mic[1][at(5)]);
    }
    const Signals out = cancel(call.far, mic);
    for (size_t c = 0; c < out.size(); ++c) {
      const int room = rooms[c];
      // Converged 3 s after the interviewer first speaks, and again after the double talk;
      // the candidate alone once the last echo has died away.
      const double figures[] = {ratio(call.echo[room], out[c], 3.5, 5, 0, false),
                                ratio(call.echo[room], out[c], 7.6, 9, 0, false),
                                ratio(call.echo[room], out[c], 23.5, 28, 0, false),
                                ratio(passed[room], out[c], 9.3, 15),
                                ratio(passed[room], out[c], 15, 23),
                                ratio(call.voice[room], out[c], 9.3, 15, lag),
                                ratio(call.voice[room], out[c], 15, 23, lag)};
      std::printf(
          "echo %s, channel %zu: ERLE %.1f dB, %.1f dB, after double talk %.1f dB; SDR against "
          "the passed voice: alone %.1f dB, double talk %.1f dB; against the clean "
          "voice: %.1f dB, %.1f dB\n",
          name, c, figures[0], figures[1], figures[2], figures[3], figures[4], figures[5],
          figures[6]);
      for (int i : {0, 1, 2}) {
        EXPECT_GE(figures[i], 25);
      }
      EXPECT_GE(figures[3], 15);
      EXPECT_GE(figures[4], 6);
      EXPECT_GE(figures[5], 12);
      EXPECT_GE(figures[6], 5);
    }
  }
}

TEST(EchoQualityTest, RefusesWhatItCannotTakeAndOutlivesSamplesThatAreNotNumbers) {
  auto service = makeWebrtcEchoCancellerService();
  for (auto [rate, nearChannels, farChannels] :
       {std::tuple{44101, 1u, 1u}, {48000, 0u, 1u}, {48000, 1u, 0u}, {0, 1u, 1u}}) {
    EXPECT_FALSE(service->makeEchoCanceller(rate, nearChannels, farChannels).ok()) << rate;
  }
  auto made = service->makeEchoCanceller(48000, 2, 2);
  ASSERT_TRUE(made.ok()) << made.error().description();
  EchoCanceller& canceller = *made.value();
  std::vector<float> far(960, 0.25f), near(958, 0.5f);
  EXPECT_NE(canceller.process(far, near), std::nullopt);
  EXPECT_EQ(near, std::vector<float>(958, 0.5f));
  // One chunk of NaN and infinity, then a tone on both ends: no filter keeps them.
  near.assign(960, std::nanf(""));
  far[7] = INFINITY;
  for (int chunk = 0; chunk < 300; ++chunk) {
    ASSERT_EQ(canceller.process(far, near), std::nullopt);
    for (size_t n = 0; n < near.size(); ++n) {
      ASSERT_TRUE(chunk == 0 || std::isfinite(near[n])) << chunk;
      far[n] = near[n] = 0.3f * std::sin(0.01f * static_cast<float>(chunk * 960 + n));
    }
  }
}

}  // namespace
}  // namespace velkin
