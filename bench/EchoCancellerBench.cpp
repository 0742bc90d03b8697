// What the echo canceller costs: CPU-seconds per minute of audio at 48 kHz,
// with the call's stereo as the far end, on the simulated room's speech and
// echo. A microphone whose two channels are the same, one whose channels
// differ, and a mono one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "EchoRoom.hpp"
#include "platform/webrtc/WebrtcEchoCanceller.hpp"

namespace {

using namespace velkin;

const echo::Call& theCall() {
  static const echo::Call call = echo::simulateCall();
  return call;
}

// The room's channels `rooms` of the microphone, interleaved, and the far end in stereo.
void BM_EchoCanceller(benchmark::State& state, std::vector<int> rooms) {
  const echo::Call& call = theCall();
  if (std::none_of(call.voice.begin(), call.voice.end(), [](float s) { return s != 0; })) {
    state.SkipWithError("espeak-ng and sox must be installed");
    return;
  }
  const auto channels = static_cast<uint32_t>(rooms.size());
  std::vector<float> far, mic;
  for (size_t n = 0; n < call.far.size(); ++n) {
    far.insert(far.end(), 2, call.far[n]);
    for (int room : rooms) {
      mic.push_back(call.mic[room][n]);
    }
  }
  double audioMinutes = 0;
  std::vector<float> near;
  for (auto _ : state) {
    state.PauseTiming();
    auto canceller = makeWebrtcEchoCancellerService()->makeEchoCanceller(echo::rate, channels, 2);
    near = mic;
    state.ResumeTiming();
    const auto frames = static_cast<size_t>(canceller.value()->framesPerChunk());
    for (size_t f = 0; f + frames <= call.far.size(); f += frames) {
      if (canceller.value()->process({&far[2 * f], 2 * frames},
                                     {&near[channels * f], channels * frames})) {
        state.SkipWithError("the canceller failed");
        return;
      }
    }
    benchmark::DoNotOptimize(near.data());
    audioMinutes += static_cast<double>(call.far.size()) / echo::rate / 60;
  }
  // Per CPU-second, inverted: CPU-seconds per minute of audio.
  state.counters["cpu_s_per_audio_min"] =
      benchmark::Counter(audioMinutes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK_CAPTURE(BM_EchoCanceller, mono, std::vector{0})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EchoCanceller, same_stereo, std::vector{0, 0})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EchoCanceller, differing_stereo, std::vector{0, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
