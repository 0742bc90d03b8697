// Eight hours of an interview call, two tracks, through the capture controller
// and the real CAF writer on tmpfs, in accelerated time. Reports how much
// faster than real time it runs, and whether memory, descriptors and threads
// stay flat once the first minutes are past. Every segment is checked as it is
// finished (numbering, length, marker, content) and removed, as the parent
// would after transcribing it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "LongCall.hpp"

namespace {

using namespace velkin::longcall;

constexpr double kWarmUpSeconds = 5 * 60;

double mebibytes(int64_t kib) {
  return static_cast<double>(kib) / 1024.0;
}

void BM_LongCall(benchmark::State& state) {
  std::string pattern = "/dev/shm/velkin-longcall-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    state.SkipWithError("cannot create a directory in /dev/shm");
    return;
  }
  LongCallOptions options;
  options.directory = pattern;
  options.seconds = static_cast<double>(state.range(0));
  // Runs on the benchmark's thread, which drives the call: one progress line an
  // hour on stderr, so that a stuck run shows where. The sample after the stop
  // repeats the last minute's time; it is in the table.
  options.onSample = [printed = int64_t{0}](const ResourceSample& sample) mutable {
    const auto seconds = static_cast<int64_t>(sample.simulatedSeconds);
    if (seconds > printed && seconds % 3600 == 0) {
      printed = seconds;
      std::fprintf(stderr, "  %2lld h: rss %.1f MiB, %lld fds, %lld threads\n",
                   static_cast<long long>(seconds / 3600), mebibytes(sample.rssKiB),
                   static_cast<long long>(sample.openFds), static_cast<long long>(sample.threads));
    }
  };

  LongCallResult result;
  for (auto _ : state) {
    result = runLongCall(options);
  }
  std::error_code ignored;
  std::filesystem::remove_all(options.directory, ignored);

  if (!result.passed() || result.samples.empty() || result.tracks.empty()) {
    std::string first = result.problems.empty() ? "exit requested" : result.problems.front();
    state.SkipWithError(
        (std::to_string(result.problemCount) + " problem(s), first: " + first).c_str());
    return;
  }
  const ResourceSample& start = result.samples.front();
  const ResourceSample& end = result.samples.back();
  // The first sample at or past the warm-up, and the highest from there on.
  auto warm =
      std::find_if(result.samples.begin(), result.samples.end(),
                   [](const ResourceSample& s) { return s.simulatedSeconds >= kWarmUpSeconds; });
  if (warm == result.samples.end()) {
    warm = result.samples.end() - 1;
  }
  int64_t peakAfterWarmUp = 0;
  for (auto it = warm; it != result.samples.end(); ++it) {
    peakAfterWarmUp = std::max(peakAfterWarmUp, it->rssKiB);
  }
  // While capturing (the last sample is after the stop): any spread is growth.
  int64_t fdSpread = 0;
  int64_t threadSpread = 0;
  for (auto it = warm; it + 1 < result.samples.end(); ++it) {
    fdSpread = std::max(fdSpread, std::abs(it->openFds - warm->openFds));
    threadSpread = std::max(threadSpread, std::abs(it->threads - warm->threads));
  }

  state.counters["speedup"] = options.seconds / result.wallSeconds;
  state.counters["rss_start_MiB"] = mebibytes(start.rssKiB);
  state.counters["rss_5min_MiB"] = mebibytes(warm->rssKiB);
  state.counters["rss_peak_after_5min_MiB"] = mebibytes(peakAfterWarmUp);
  state.counters["rss_end_MiB"] = mebibytes(end.rssKiB);
  state.counters["fds_start"] = static_cast<double>(start.openFds);
  state.counters["fds_end"] = static_cast<double>(end.openFds);
  state.counters["fds_spread_after_5min"] = static_cast<double>(fdSpread);
  state.counters["threads_spread_after_5min"] = static_cast<double>(threadSpread);
  state.counters["threads_start"] = static_cast<double>(start.threads);
  state.counters["threads_end"] = static_cast<double>(end.threads);
  int64_t segments = 0;
  for (const TrackSummary& track : result.tracks) {
    segments += track.segments;
  }
  state.counters["segments"] = static_cast<double>(segments);
}
BENCHMARK(BM_LongCall)
    ->ArgName("seconds")
    ->Arg(8 * 3600)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
