// The stage where the two tracks meet, driven with explicit timeline positions.
// The scripted canceller hands back the far end it was given, so every frame out
// shows which interviewer audio met it: the ramp of the same position, silence
// where the stage went on without one, or the microphone's -0.5 where it was
// passed on raw.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "ScriptedHost.hpp"
#include "capture/EchoStage.hpp"

namespace velkin {
namespace {

constexpr int kRate = 48000;
constexpr int64_t kHold = kRate / 5;  // the frames of the 200 ms the microphone may wait
constexpr int64_t kChunk = kRate / 100;

float ramp(int64_t frame) {
  return float(frame % 1000) / 1000.0f + 0.001f;
}

struct StageRun {
  StageRun() {
    auto made = host.echoCanceller().makeEchoCanceller(kRate, 2, 2);
    stage = std::make_unique<EchoStage>(std::move(made.value()), kRate, 2, 2, 200'000'000);
  }
  void far(int64_t position, int64_t frames) {
    std::vector<float> data(size_t(frames) * 2);
    for (int64_t f = 0; f < frames; ++f) {
      data[2 * f] = data[2 * f + 1] = ramp(position + f);
    }
    const SampleBuffer sample(true, MediaTime::make(position, kRate), &floats,
                              std::as_bytes(std::span(data)));
    if (stage->addFarEnd(sample)) {
      stage->pump(now, sink);
    }
  }
  void near(int64_t position, int64_t frames, const FormatDescription* format = nullptr) {
    const std::vector<float> data(size_t(frames) * 2, -0.5f);
    const SampleBuffer sample(true, MediaTime::make(position, kRate), format ? format : &floats,
                              std::as_bytes(std::span(data)));
    // Each piece comes as it is captured, on the clock of the call.
    now = std::max(now, (position + frames) * 1'000'000'000 / kRate);
    stage->addNearEnd(sample, now, sink);
    nearEnd = position + frames;
  }
  // Frames handed on, at the position each came from.
  std::map<int64_t, float> out;
  int64_t outEnd = 0;
  int64_t nearEnd = 0;
  int64_t now = 0;
  EchoStage::Output sink = [this](const SampleBuffer& sample) {
    const auto* audio = sample.formatDescription()->streamBasicDescription();
    const int64_t at = std::llround(sample.presentationTimeStamp().seconds() * kRate);
    for (int64_t f = 0; f < sample.frameCount(); ++f) {
      float left = 0;
      std::memcpy(&left, sample.data().data() + f * audio->bytesPerFrame(), 4);
      EXPECT_TRUE(out.emplace(at + f, left).second) << "frame " << at + f << " twice";
    }
    outEnd = std::max(outEnd, at + sample.frameCount());
  };
  scripted::ScriptedHost host{scripted::Scenario{}, nullptr};
  const FormatDescription floats{AudioStreamDescription{kRate, 2, SampleFormat::float32}};
  std::unique_ptr<EchoStage> stage;
};

// What came out for [from, to): each frame's value, or why not.
::testing::AssertionResult each(const StageRun& run, int64_t from, int64_t to,
                                const std::function<float(int64_t)>& expected) {
  for (int64_t f = from; f < to; ++f) {
    const auto found = run.out.find(f);
    if (found == run.out.end() || std::abs(found->second - expected(f)) > 1e-6f) {
      return ::testing::AssertionFailure()
             << "frame " << f << ": " << (found == run.out.end() ? NAN : found->second)
             << " instead of " << expected(f);
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(EchoStageTest, TheCandidateMeetsTheInterviewersAudioOfTheSameStretch) {
  // The microphone leads by 100 to 200 ms, in 20 ms pieces; the call audio comes in
  // 100 ms pieces. Nothing goes on without its far end, and nothing waits once
  // it is there.
  StageRun run;
  for (int64_t i = 0; i < 300; ++i) {
    run.near(i * 960, 960);
    if (i % 5 == 4 && i >= 9) {
      run.far((i - 9) * 960, 4800);
      EXPECT_LT(run.nearEnd - run.outEnd, 7200 + kChunk);
    }
    EXPECT_LE(run.nearEnd - run.outEnd, kHold + kChunk);
  }
  run.far(291 * 960, 9 * 960);
  run.stage->finish(run.sink);
  EXPECT_TRUE(each(run, 0, 300 * 960, ramp));
  EXPECT_EQ(run.out.size(), size_t(300 * 960));
  EXPECT_TRUE(run.stage->isOn());
}

TEST(EchoStageTest, AStalledOrHoledCallAudioIsSilenceAndNeverHoldsTheMicrophoneBeyondTheBound) {
  StageRun run;
  run.far(0, kRate);
  // A hole of half a second in the call audio, then a stall from 2 s.
  run.far(kRate * 3 / 2, kRate / 2);
  for (int64_t i = 0; i < 200; ++i) {  // 4 s of microphone
    run.near(i * 960, 960);
    EXPECT_LE(run.nearEnd - run.outEnd, kHold + kChunk);
  }
  // Where the microphone stopped waiting, with the scripted canceller's 7 frames in flight.
  const int64_t waited = run.outEnd + 7;
  // The stalled audio comes at last: what is out stays, what waits meets it.
  run.far(2 * kRate, 2 * kRate);
  run.stage->finish(run.sink);
  const auto silence = [](int64_t) { return 0.0f; };
  EXPECT_TRUE(each(run, 0, kRate, ramp));
  EXPECT_TRUE(each(run, kRate, kRate * 3 / 2, silence));
  EXPECT_TRUE(each(run, kRate * 3 / 2, 2 * kRate, ramp));
  EXPECT_TRUE(each(run, 2 * kRate, waited, silence));
  EXPECT_TRUE(each(run, waited, 4 * kRate, ramp));
  // A track's last frames, not a whole 10 ms, and a hole in the microphone's audio.
  run.near(5 * kRate, 100);
  run.stage->finish(run.sink);
  EXPECT_TRUE(each(run, 5 * kRate, 5 * kRate + 100, silence));
  EXPECT_EQ(run.out.size(), size_t(4 * kRate + 100));
}

TEST(EchoStageTest, AFormatItCannotUseTurnsItOffOnceAndTheMicrophoneGoesOnAsItCame) {
  StageRun run;
  run.far(0, 4800);
  run.near(0, 9600);  // half of it waits for the call audio
  // A headset's microphone, as a profile switch brings it.
  const FormatDescription mono(AudioStreamDescription{16000, 1, SampleFormat::float32});
  run.near(9600, 960, &mono);
  EXPECT_FALSE(run.stage->isOn());
  EXPECT_EQ(run.stage->takeOffReason(),
            "the microphone's audio cannot be used: the audio came at 16000 Hz with 1 channels, "
            "not 48000 Hz with 2");
  run.near(11520, 960);
  run.far(4800, 9600);
  run.stage->finish(run.sink);
  EXPECT_EQ(run.stage->takeOffReason(), std::nullopt);
  // The frames still in the canceller went out as they came, too.
  EXPECT_TRUE(each(run, 0, 4800 - 7, ramp));
  EXPECT_TRUE(each(run, 4800 - 7, 12480, [](int64_t) { return -0.5f; }));
}

}  // namespace
}  // namespace velkin
