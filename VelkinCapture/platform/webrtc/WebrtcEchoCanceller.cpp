#include "platform/webrtc/WebrtcEchoCanceller.hpp"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <string>
#include <vector>

namespace velkin {

namespace {

constexpr const char* errorDomain = "WebRTC audio processing";

// The module holds back the last few milliseconds it was given (8 ms at
// 48 kHz, 7 ms at 16 kHz): an instance goes to rest only after being fed this
// many chunks of what it then stands for (silence, or channel 0), so that
// nothing it gives out later is older than its rest.
constexpr int64_t flushChunks = 4;

// Where the module starts looking for the echo. It finds the delay itself,
// but for the first seconds (some 20 s when far off) it cancels only echo
// within about 60 ms of the delay reported: on the simulated room, reporting
// 100 ms cancels 30 dB or more from 3 s after the far end starts for echo
// paths of 40 ms to 160 ms (the tracks on their shared timeline show 80 ms to
// 140 ms), where reporting none, as PulseAudio's echo-cancel module does for
// streams it has aligned itself, cancels 12 to 22 dB at 140 ms.
constexpr int reportedDelayMs = 100;

Error apmError(int code, const std::string& doing) {
  return Error{errorDomain, code,
               doing + " failed with the module's error " + std::to_string(code)};
}

// One mono instance of the module: the far end as its reverse stream, one near
// channel as its capture stream.
class Instance {
 public:
  static Result<Instance> make(int rate) {
    webrtc::Config config;
    // The 128 ms filter holds a laptop's echo tail, and the module finds the
    // delay between what was played and its echo itself: the two tracks share
    // one timeline, so nothing else knows it.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
    if (apm == nullptr) {
      return Error{errorDomain, webrtc::AudioProcessing::kCreationFailedError,
                   "the audio processing module could not be created"};
    }
    const webrtc::StreamConfig mono(rate, 1);
    const webrtc::ProcessingConfig streams = {{mono, mono, mono, mono}};
    if (int code = apm->Initialize(streams); code != webrtc::AudioProcessing::kNoError) {
      return apmError(code, "initialising the module at " + std::to_string(rate) + " Hz");
    }
    // The module's other parts start disabled and stay so; the canceller does
    // not need the high-pass filter. The lowest suppression keeps more of the
    // candidate's voice while both speak (8.9 dB signal to distortion where
    // the moderate one keeps 6.6 on the simulated room) and takes as much of
    // the echo away (42 dB or more).
    webrtc::EchoCancellation* aec = apm->echo_cancellation();
    for (int code : {aec->enable_drift_compensation(false),
                     aec->set_suppression_level(webrtc::EchoCancellation::kLowSuppression),
                     aec->Enable(true)}) {
      if (code != webrtc::AudioProcessing::kNoError) {
        return apmError(code, "enabling the echo canceller");
      }
    }
    return Instance(std::move(apm), mono);
  }

  // `far` and `near` hold one chunk; `out` receives the cancelled near end (it
  // may be `near`).
  std::optional<Error> process(const float* far, const float* near, float* out) {
    const float* farChannels[] = {far};
    float* farOut[] = {reverseOut_.data()};
    if (int code = apm_->ProcessReverseStream(farChannels, config_, config_, farOut);
        code != webrtc::AudioProcessing::kNoError) {
      return apmError(code, "analysing the far end");
    }
    apm_->set_stream_delay_ms(reportedDelayMs);
    const float* nearChannels[] = {near};
    float* outChannels[] = {out};
    if (int code = apm_->ProcessStream(nearChannels, config_, config_, outChannels);
        code != webrtc::AudioProcessing::kNoError) {
      return apmError(code, "cancelling the echo");
    }
    return std::nullopt;
  }

 private:
  Instance(std::unique_ptr<webrtc::AudioProcessing> apm, webrtc::StreamConfig config)
      : apm_(std::move(apm)), config_(config), reverseOut_(config.num_frames()) {}

  std::unique_ptr<webrtc::AudioProcessing> apm_;
  webrtc::StreamConfig config_;
  std::vector<float> reverseOut_;  // the reverse stream's output, never used
};

// A sample as the module can take it: NaN or infinity (which would stay in its
// filter for good) become silence, and nothing lies beyond full scale.
float sane(float sample) {
  return std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
}

// The cost of the module grows with each channel it cancels: at 48 kHz about
// 0.4 CPU-seconds per minute of audio for one. Most microphones give the same
// samples on every channel, so channel 0 is cancelled once and copied to each
// channel that is identical to it in that chunk. A channel that differs is
// cancelled by an instance of its own, which rests while the channel is the
// same as channel 0 and takes up with the filter it had for its own echo path
// (the room has rarely changed), after being fed the last `flushChunks` of
// channel 0 (which the channel was then) to push out what it held back.
// Measured on the simulated room, a channel that was the same as channel 0 for
// 2.5 s cancels 44 dB of echo in its first 1.5 s after, where an instance that
// went on with channel 0's echo path through the stretch cancels 16 and a
// fresh one 26. Running it always would double the cost for microphones that
// never differ.
//
// Digital silence (a muted microphone, or a hole the capture filled) has no
// echo to learn from: fed to the module, it adapts its filter towards no echo
// at all, and cancels 13 dB less in the 1.5 s after a 2.5 s mute on the
// simulated room. After `flushChunks` of it the silence is passed on as it
// came and every instance rests.
class WebrtcEchoCanceller final : public EchoCanceller {
 public:
  WebrtcEchoCanceller(int rate, uint32_t farChannels, std::vector<Instance> instances,
                      int64_t latency)
      : frames_(rate / 100),
        latency_(latency),
        nearChannels_(static_cast<uint32_t>(instances.size())),
        farChannels_(farChannels),
        instances_(std::move(instances)),
        lastFed_(nearChannels_, -1),
        far_(static_cast<size_t>(frames_ * flushChunks)),
        near_(static_cast<size_t>(frames_) * nearChannels_),
        out_(static_cast<size_t>(frames_) * nearChannels_),
        channel0_(static_cast<size_t>(frames_ * flushChunks)) {}

  int64_t framesPerChunk() const override { return frames_; }
  int64_t latencyFrames() const override { return latency_; }

  std::optional<Error> process(std::span<const float> farEnd, std::span<float> nearEnd) override {
    // Used from one thread at a time: the caller's, whichever it is.
    [[maybe_unused]] const bool wasBusy = busy_.exchange(true);
    assert(!wasBusy && "the canceller is used from two threads at once");
    std::optional<Error> error = run(farEnd, nearEnd);
    busy_.store(false);
    return error;
  }

 private:
  std::optional<Error> run(std::span<const float> farEnd, std::span<float> nearEnd) {
    if (failed_) {
      return Error{errorDomain, 0, "the canceller failed before and cannot be used again"};
    }
    const auto frames = static_cast<size_t>(frames_);
    if (farEnd.size() != frames * farChannels_ || nearEnd.size() != frames * nearChannels_) {
      return Error{errorDomain, webrtc::AudioProcessing::kBadDataLengthError,
                   "a chunk of " + std::to_string(farEnd.size()) + " far-end and " +
                       std::to_string(nearEnd.size()) + " near-end samples is not " +
                       std::to_string(frames_) + " frames of " + std::to_string(farChannels_) +
                       " and " + std::to_string(nearChannels_) + " channels"};
    }
    // This chunk's far end and channel 0 go into the rings at `slot`. The far
    // end's channels are mixed down to one, as the module does itself: it
    // analyses a stereo reverse stream as one channel, at the same cost.
    const size_t slot = static_cast<size_t>(chunk_ % flushChunks) * frames;
    float* far = far_.data() + slot;
    for (size_t f = 0; f < frames; ++f) {
      float sum = 0;
      for (uint32_t c = 0; c < farChannels_; ++c) {
        sum += sane(farEnd[f * farChannels_ + c]);
      }
      far[f] = sum / static_cast<float>(farChannels_);
    }
    bool silent = true;
    for (size_t n = 0; n < nearEnd.size(); ++n) {
      const float sample = sane(nearEnd[n]);
      near_[n % nearChannels_ * frames + n / nearChannels_] = sample;
      silent = silent && sample == 0.0f;
    }
    std::copy(near_.begin(), near_.begin() + static_cast<std::ptrdiff_t>(frames),
              channel0_.begin() + static_cast<std::ptrdiff_t>(slot));
    silentChunks_ = silent ? silentChunks_ + 1 : 0;
    if (silentChunks_ > flushChunks) {
      std::fill(nearEnd.begin(), nearEnd.end(), 0.0f);
      ++chunk_;
      return std::nullopt;
    }

    for (uint32_t c = 0; c < nearChannels_; ++c) {
      if (auto error = runChannel(c, far)) {
        return fail(std::move(*error));
      }
    }
    ++chunk_;
    for (size_t n = 0; n < nearEnd.size(); ++n) {
      nearEnd[n] = out_[n % nearChannels_ * frames + n / nearChannels_];
    }
    return std::nullopt;
  }

  // Channel `c` into out_: its own instance's result while that runs,
  // channel 0's otherwise.
  std::optional<Error> runChannel(uint32_t c, const float* far) {
    const auto frames = static_cast<size_t>(frames_);
    const float* near = near_.data() + c * frames;
    float* out = out_.data() + c * frames;
    if (c > 0 && std::equal(near, near + frames, near_.data())) {
      std::copy(out_.data(), out_.data() + frames, out);
      return std::nullopt;
    }
    // Taking up after a rest: the chunks before this one, as far as kept.
    const int64_t missed = std::min({chunk_ - lastFed_[c] - 1, flushChunks - 1, chunk_});
    for (int64_t back = missed; back > 0; --back) {
      const size_t at = static_cast<size_t>((chunk_ - back) % flushChunks) * frames;
      if (auto error = instances_[c].process(far_.data() + at, channel0_.data() + at, out)) {
        return error;
      }
    }
    lastFed_[c] = chunk_;
    return instances_[c].process(far, near, out);
  }

  Error fail(Error error) {
    failed_ = true;
    return error;
  }

  const int64_t frames_;
  const int64_t latency_;
  const uint32_t nearChannels_;
  const uint32_t farChannels_;
  // All state below belongs to whichever thread is in `process`; `busy_`
  // checks in debug builds that there is only one.
  std::atomic<bool> busy_ = false;
  std::vector<Instance> instances_;  // one per near channel
  std::vector<int64_t> lastFed_;     // per near channel: the last chunk its instance was given
  int64_t chunk_ = 0;                // chunks processed
  int64_t silentChunks_ = 0;         // chunks of digital silence in a row, up to this one
  bool failed_ = false;
  std::vector<float> far_;       // the last flushChunks of the far end, mixed down, a ring
  std::vector<float> near_;      // this chunk's near end, channel after channel
  std::vector<float> out_;       // the cancelled near end, channel after channel
  std::vector<float> channel0_;  // the last flushChunks of channel 0, a ring
};

// How late the module hands the near end back at `rate`, measured on an
// instance that has heard no far end: the lag at which a probe of speech-band
// noise (white noise through a 12-tap average, below about 4 kHz) matches best
// what comes out. Its band filters set it, and it differs across the spectrum
// (an impulse comes out earlier, its upper bands first), so it is measured
// where speech lies rather than assumed for a rate: 383 frames at 48 kHz.
Result<int64_t> measureLatency(int rate) {
  Result<Instance> probe = Instance::make(rate);
  if (!probe) {
    return probe.error();
  }
  const auto frames = static_cast<size_t>(rate / 100);
  const size_t chunks = 8;
  std::vector<float> in(chunks * frames + 12), out(chunks * frames);
  uint32_t seed = 1;
  for (float& x : in) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
  }
  for (size_t n = 0; n < chunks * frames; ++n) {
    float sum = 0;
    for (size_t k = 0; k < 12; ++k) {
      sum += in[n + k];
    }
    in[n] = sum / 12;
  }
  const std::vector<float> far(frames, 0.0f);
  for (size_t c = 0; c < chunks; ++c) {
    if (auto error =
            probe.value().process(far.data(), in.data() + c * frames, out.data() + c * frames)) {
      return *error;
    }
  }
  double best = 0;
  int64_t latency = 0;
  for (size_t lag = 0; lag < 2 * frames; ++lag) {
    double sum = 0;
    for (size_t n = 0; n + lag < chunks * frames; ++n) {
      sum += double(in[n]) * out[n + lag];
    }
    if (sum > best) {
      best = sum;
      latency = static_cast<int64_t>(lag);
    }
  }
  return latency;
}

class WebrtcEchoCancellerService final : public EchoCancellerService {
 public:
  Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller(int sampleRate, uint32_t nearChannels,
                                                           uint32_t farChannels) override {
    // Beyond 8 channels the module's cost (one instance per differing
    // channel) is out of proportion; no microphone needs it.
    if (sampleRate <= 0 || sampleRate % 100 != 0 || sampleRate > 384000 || nearChannels == 0 ||
        nearChannels > 8 || farChannels == 0 || farChannels > 64) {
      return Error{errorDomain, webrtc::AudioProcessing::kBadParameterError,
                   "no echo canceller for " + std::to_string(nearChannels) +
                       " microphone channels and " + std::to_string(farChannels) +
                       " call channels at " + std::to_string(sampleRate) + " Hz"};
    }
    Result<int64_t> latency = measureLatency(sampleRate);
    if (!latency) {
      return latency.error();
    }
    std::vector<Instance> instances;
    for (uint32_t c = 0; c < nearChannels; ++c) {
      Result<Instance> instance = Instance::make(sampleRate);
      if (!instance) {
        return instance.error();
      }
      instances.push_back(std::move(instance.value()));
    }
    return std::unique_ptr<EchoCanceller>(std::make_unique<WebrtcEchoCanceller>(
        sampleRate, farChannels, std::move(instances), latency.value()));
  }
};

}  // namespace

std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService() {
  return std::make_unique<WebrtcEchoCancellerService>();
}

}  // namespace velkin
