#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct SpeexResamplerState_;

namespace velkin::pulse {

// Resamples a track whose source's clock drifts (see ClockDrift) by a ratio that
// changes a little with every dating, without a click: libspeexdsp's resampler,
// the one PulseAudio adjusts its own loopbacks with, changes its ratio between
// two samples and keeps its filter's memory.
//
// It starts on audio already delivered as it came: the last frames copied
// through prime its filter and their output is dropped, so the first resampled
// frame follows the last copied one without a fade-in or a repeat. Stopping
// (before a hole, or at the end) hands out what it still holds, so that the
// track's length stays what its audio makes. Interleaved 16-bit frames, as the
// files store them: libspeexdsp rounds and saturates its output. Owned by one
// thread.
class DriftResampler {
 public:
  DriftResampler(uint32_t channels, uint32_t rate);
  ~DriftResampler();
  DriftResampler(const DriftResampler&) = delete;
  DriftResampler& operator=(const DriftResampler&) = delete;

  bool active() const { return state_ != nullptr; }
  // Frames owed to the track for the audio taken in: where the next audio's
  // first frame lands lies this far past what has been handed out.
  int64_t held() const;

  // Audio copied through as it came: kept to prime a start.
  void copied(std::span<const std::byte> bytes);
  // Starts resampling, or changes the ratio: `ratio` track frames for each
  // frame taken in. False when libspeexdsp refuses (then it stays as it was).
  bool resample(double ratio);
  // Appends to `out` what `bytes` make at the current ratio; the frames appended.
  int64_t process(std::span<const std::byte> bytes, std::vector<std::byte>& out);
  // Appends to `out` everything still held and stops; the frames appended.
  int64_t stop(std::vector<std::byte>& out);

 private:
  int64_t run(const int16_t* in, uint32_t frames, std::vector<std::byte>& out, int64_t most);

  const uint32_t channels_;
  const uint32_t rate_;
  SpeexResamplerState_* state_ = nullptr;
  std::vector<int16_t> history_;  // the latest frames copied through
  uint32_t ratioNum_ = 1;         // frames in per ratioDen_ frames out
  uint32_t ratioDen_ = 1;
  double expected_ = 0;  // frames the audio taken in makes, at the ratios it was taken at
  int64_t produced_ = 0;
  int64_t discard_ = 0;           // output of the priming still to drop
  std::vector<int16_t> scratch_;  // what libspeexdsp hands out
};

}  // namespace velkin::pulse
