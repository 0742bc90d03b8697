// How much faster than real time one track is written: 48 kHz stereo float in
// 20 ms buffers through SegmentWriter into 5 s CAF segments on tmpfs, with the
// finishing thread pinned to the same core as the track.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/Media.hpp"
#include "platform/sndfile/SndfileMediaWriter.hpp"
#include "segments/FinishTracker.hpp"
#include "segments/SegmentFiles.hpp"
#include "segments/SegmentWriter.hpp"

namespace {

using namespace velkin;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBufferFrames = kRate / 50;  // 20 ms

// Runs the caller, and every thread it starts from now on, on the core it is
// on; restores the old affinity when done.
class PinnedToOneCore {
 public:
  PinnedToOneCore() {
    sched_getaffinity(0, sizeof saved_, &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
  }
  ~PinnedToOneCore() { sched_setaffinity(0, sizeof saved_, &saved_); }

 private:
  cpu_set_t saved_;
};

void BM_SegmentWriterRealTimeFactor(benchmark::State& state) {
  std::string pattern = "/dev/shm/velkin-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    state.SkipWithError("cannot create a directory in /dev/shm");
    return;
  }
  const std::filesystem::path directory = pattern;
  const PinnedToOneCore pinned;
  const std::unique_ptr<MediaWriterService> media = makeSndfileMediaWriterService();
  const auto finishes = std::make_shared<FinishTracker>();

  std::vector<float> samples(kBufferFrames * kChannels);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(0.5 * std::sin(0.01 * static_cast<double>(i)));
  }
  const FormatDescription format(AudioStreamDescription{kRate, kChannels, SampleFormat::float32});
  const std::span<const std::byte> bytes = std::as_bytes(std::span(samples));

  int64_t buffers = 0;
  int64_t removed = 0;
  {
    SegmentWriter writer("bench", Directory::open(directory).value(), *media, finishes);
    for (auto _ : state) {
      writer.append(
          SampleBuffer(true, MediaTime::make(buffers * kBufferFrames, kRate), &format, bytes));
      ++buffers;
      // Keeps tmpfs small: segments two behind the open one are finished and
      // no longer needed. Not part of the writer's cost.
      if (writer.counter() - 2 > removed) {
        state.PauseTiming();
        ++removed;
        std::filesystem::remove(directory / segmentFileName("bench", removed));
        state.ResumeTiming();
      }
    }
    writer.stop();
  }
  finishes->waitUntilIdle(std::chrono::seconds(30));
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);

  const double audioSeconds = static_cast<double>(buffers) * kBufferFrames / kRate;
  state.counters["real_time_factor"] =
      benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
  state.counters["segments"] = static_cast<double>(removed + 2);
}
BENCHMARK(BM_SegmentWriterRealTimeFactor)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
