#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velkin::longcall {

// What the process holds at one moment of the call.
struct ResourceSample {
  double simulatedSeconds = 0;
  int64_t rssKiB = 0;   // VmRSS
  int64_t openFds = 0;  // entries of /proc/self/fd
  int64_t threads = 0;  // entries of /proc/self/task
};

// Reads this process's resident memory, descriptors and threads from /proc.
ResourceSample sampleResources(double simulatedSeconds);

struct LongCallOptions {
  // Where the segments go; created if missing. A run that passes leaves no
  // segment or marker of its own behind.
  std::filesystem::path directory;
  // Simulated length of the call; delivered in whole 20 ms buffers.
  double seconds = 60;
  // Buffers per track delivered between two drains of the delivery queues: the
  // most the host runs ahead of the writers.
  int64_t drainEvery = 50;
  // Called on the driving thread with each resource sample as it is taken.
  std::function<void(const ResourceSample&)> onSample;
};

struct TrackSummary {
  std::string label;
  int64_t deliveredFrames = 0;
  int64_t segments = 0;  // checked, then removed
  int64_t frames = 0;    // read back from those segments
};

struct LongCallResult {
  // After the start, at the end of each simulated minute (with no segment
  // finish pending), and after the stop once every finish has completed.
  std::vector<ResourceSample> samples;
  std::vector<TrackSummary> tracks;   // interviewer, then candidate
  std::vector<std::string> problems;  // the first few failed checks
  int64_t problemCount = 0;
  std::vector<int> exitStatuses;  // what the controller asked the process to exit with
  double wallSeconds = 0;

  bool passed() const { return problemCount == 0 && exitStatuses.empty(); }
};

// Runs one call of two tracks through a CaptureController on the scripted host
// with the real CAF writer, in accelerated time: every buffer carries an
// explicit presentation time and nothing waits on a clock. Plays the parent as
// it goes: each segment that carries its ready marker is read back, checked and
// removed with its marker, so that hours of audio need only a few segments of
// disk. Checks:
//  - segments are numbered 000001, 000002, ... per track, with no gap;
//  - each is a readable 48 kHz stereo 16-bit CAF file whose first and last
//    frames are the samples delivered at those times;
//  - every segment but the last holds exactly 5 s of frames, the last at most 5 s;
//  - the frames read back add up to the frames delivered;
//  - after the stop, every segment is marked and nothing else is left.
LongCallResult runLongCall(const LongCallOptions& options);

}  // namespace velkin::longcall
