#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/EchoCanceller.hpp"
#include "platform/Media.hpp"

namespace velkin {

// Where the two tracks meet: the candidate's audio (the near end) is held until
// the interviewer's audio (the far end) for the same stretch of the timeline has
// arrived, then both go through the canceller in 10 ms frames, so that the echo
// of what the speakers played is taken out of what the microphone heard. The
// shared timeline lines the two up exactly; the canceller finds the room's delay.
//
// A far end that stalls is waited for at most `maxWait` nanoseconds from when
// the near end's audio arrived; then the near end goes on with silence as the
// reference, as it does over a hole in the call audio. Times are given by the
// caller (a steady clock), so that tests drive them.
//
// The far end is added from one queue, the near end from another: everything but
// the far-end inbox is owned by the near end's queue.
class EchoStage {
 public:
  // Runs on the near end's queue, for audio ready for the candidate's writer.
  using Output = std::function<void(const SampleBuffer&)>;

  EchoStage(std::unique_ptr<EchoCanceller> canceller, int sampleRate, uint32_t nearChannels,
            uint32_t farChannels, int64_t maxWait);

  // Far end's queue. Copies the far end's audio in; true when near-end audio is
  // waiting for it, and no pump() is due yet: the caller then has pump() run.
  bool addFarEnd(const SampleBuffer& sample);

  // Near end's queue. Takes the near end's audio and hands on, through `out`,
  // whatever has its far end (or waited long enough). Once cancelling is off,
  // the sample itself goes to `out` as it came.
  void addNearEnd(const SampleBuffer& sample, int64_t now, const Output& out);
  // Near end's queue: after far-end audio arrived, or at waitsUntil().
  void pump(int64_t now, const Output& out);
  // Near end's queue: when the oldest near-end audio held stops waiting for its
  // far end; nothing when none waits.
  std::optional<int64_t> waitsUntil() const;
  // Near end's queue, at the end of the call: everything held goes out, with
  // silence as the reference where the far end never came.
  void finish(const Output& out);

  // Near end's queue. Why cancelling went off, once: the caller says so.
  std::optional<std::string> takeOffReason();
  bool isOn() const { return canceller_ != nullptr; }

 private:
  struct Held {
    int64_t start = 0;           // timeline frame of samples[0]
    std::vector<float> samples;  // interleaved
  };

  void process(bool final, int64_t now, const Output& out);
  // One chunk through the canceller; its output, less what is still the
  // canceller's own, goes to outBatch_. False once cancelling is off.
  bool cancel(std::vector<float>& chunk, const Output& out);
  // Copies the far end for [position, position + frames) into `into`, silence
  // where it has none; drops what lies before `position`. True when it had all.
  bool takeFarEnd(int64_t position, int64_t frames, bool force, std::vector<float>& into);
  void turnOff(std::string reason, const Output& out);
  void emit(int64_t position, const std::vector<float>& samples, const Output& out) const;

  const int rate_;
  const uint32_t nearChannels_;
  const uint32_t farChannels_;
  const int64_t maxWait_;
  const int64_t chunk_;
  const int64_t latency_;  // the canceller's
  const FormatDescription outputFormat_;

  // Near end's queue.
  std::unique_ptr<EchoCanceller> canceller_;  // null once off
  std::optional<std::string> offReason_;
  Held near_;  // not yet through the canceller
  // When each piece of near_ arrived: the timeline frame it ends at, and the time.
  std::deque<std::pair<int64_t, int64_t>> arrivals_;
  Held fed_;                     // through it, its output yet to come: kept as it came
  int64_t late_ = 0;             // frames of the canceller's own still to come out first
  std::vector<float> farChunk_;  // scratch
  std::vector<float> outBatch_;  // output to go out at fed_.start

  std::mutex farLock_;   // guards the far-end inbox: the five fields below
  bool farOff_ = false;  // cancelling is off: the far end is no longer kept
  Held far_;
  std::optional<std::string> farRefused_;  // a far end that cannot be used, and why
  bool nearWaiting_ = false;               // near-end audio is held for far-end audio yet to come
  bool pumpDue_ = false;                   // a pump() has been asked for and has not run yet
};

}  // namespace velkin
