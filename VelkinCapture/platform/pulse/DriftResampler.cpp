#include "platform/pulse/DriftResampler.hpp"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velkin::pulse {

namespace {

// libspeexdsp's default: far below what a microphone's noise shows, and cheap.
constexpr int quality = SPEEX_RESAMPLER_QUALITY_DEFAULT;
// Frames that prime the filter: more than its half length at any ratio used.
constexpr size_t historyFrames = 256;
// Frames taken in at a time: bounds the scratch buffer.
constexpr uint32_t chunkFrames = 1024;

}  // namespace

DriftResampler::DriftResampler(uint32_t channels, uint32_t rate)
    : channels_(std::max<uint32_t>(channels, 1)), rate_(std::max<uint32_t>(rate, 1)) {}

DriftResampler::~DriftResampler() {
  if (state_ != nullptr) {
    speex_resampler_destroy(state_);
  }
}

int64_t DriftResampler::held() const {
  return state_ == nullptr
             ? 0
             : std::max<int64_t>(0, std::llround(expected_ - double(produced_) - double(discard_)));
}

void DriftResampler::copied(std::span<const std::byte> bytes) {
  const size_t samples = bytes.size() / sizeof(int16_t);
  const size_t most = historyFrames * channels_;
  const size_t taken = std::min(samples, most);
  const size_t kept = std::min(history_.size(), most - taken);
  history_.erase(history_.begin(), history_.end() - std::ptrdiff_t(kept));
  const size_t at = history_.size();
  history_.resize(at + taken);
  std::memcpy(history_.data() + at, bytes.data() + (samples - taken) * sizeof(int16_t),
              taken * sizeof(int16_t));
}

bool DriftResampler::resample(double ratio) {
  // libspeexdsp rescales its phase by the old and the new denominator in 32 bits:
  // their product must fit. Steps of 16 ppm; the pull back to the timeline
  // makes up for the rounding.
  constexpr uint32_t den = 64'000;
  const auto num = uint32_t(std::llround(double(den) / ratio));
  if (state_ == nullptr) {
    int error = 0;
    state_ = speex_resampler_init(channels_, rate_, rate_, quality, &error);
    if (state_ == nullptr) {
      return false;
    }
    // Its first output is then the first frame taken in, not a filter's delay.
    speex_resampler_skip_zeros(state_);
    ratioNum_ = ratioDen_ = 1;
    produced_ = 0;
    // The frames already copied through prime it, one for one; what they make
    // was delivered already.
    const auto primed = uint32_t(history_.size() / channels_);
    expected_ = primed;
    discard_ = primed;
    std::vector<std::byte> none;
    run(history_.data(), primed, none, 0);
  }
  if (speex_resampler_set_rate_frac(state_, num, den, rate_, rate_) != RESAMPLER_ERR_SUCCESS) {
    return false;
  }
  ratioNum_ = num;
  ratioDen_ = den;
  return true;
}

int64_t DriftResampler::process(std::span<const std::byte> bytes, std::vector<std::byte>& out) {
  const auto frames = uint32_t(bytes.size() / (sizeof(int16_t) * channels_));
  expected_ += double(frames) * double(ratioDen_) / double(ratioNum_);
  return run(reinterpret_cast<const int16_t*>(bytes.data()), frames, out, INT64_MAX);
}

int64_t DriftResampler::stop(std::vector<std::byte>& out) {
  if (state_ == nullptr) {
    return 0;
  }
  const int64_t owed = held();
  const std::vector<int16_t> zeros(size_t(historyFrames) * channels_, 0);
  int64_t appended = 0;
  // Silence after the audio pushes out what the filter still holds.
  for (int i = 0; i < 64 && appended < owed; ++i) {
    appended += run(zeros.data(), historyFrames, out, owed - appended);
  }
  speex_resampler_destroy(state_);
  state_ = nullptr;
  history_.clear();
  return appended;
}

int64_t DriftResampler::run(const int16_t* in, uint32_t frames, std::vector<std::byte>& out,
                            int64_t most) {
  scratch_.resize(size_t(chunkFrames * 2 + 64) * channels_);
  int64_t appended = 0;
  while (frames > 0) {
    uint32_t inLength = std::min(frames, chunkFrames);
    auto outLength = uint32_t(scratch_.size() / channels_);
    speex_resampler_process_interleaved_int(state_, in, &inLength, scratch_.data(), &outLength);
    if (inLength == 0 && outLength == 0) {
      break;
    }
    in += size_t(inLength) * channels_;
    frames -= inLength;
    produced_ += outLength;
    const auto skipped = uint32_t(std::min<int64_t>(discard_, outLength));
    discard_ -= skipped;
    const auto kept = uint32_t(std::clamp<int64_t>(most - appended, 0, outLength - skipped));
    const auto* begin = reinterpret_cast<const std::byte*>(scratch_.data() + skipped * channels_);
    out.insert(out.end(), begin, begin + size_t(kept) * channels_ * sizeof(int16_t));
    appended += kept;
  }
  return appended;
}

}  // namespace velkin::pulse
