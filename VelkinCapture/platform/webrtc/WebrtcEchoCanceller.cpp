#include "platform/webrtc/WebrtcEchoCanceller.hpp"

#include <speex/speex_resampler.h>
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

// The module holds back the last few milliseconds it was given (8.6 ms at
// 48 kHz with the resamplers around it, 7 ms at 16 kHz): an instance goes to
// rest only after being fed this many chunks of what it then stands for
// (silence, or channel 0), so that nothing it gives out later is older than
// its rest.
constexpr int64_t flushChunks = 4;

// Where the module starts looking for the echo. It finds the delay itself,
// but for the first seconds (some 20 s when far off) it cancels only echo
// within about 60 ms of the delay reported: on the simulated room, reporting
// 100 ms cancels 30 dB or more from 3 s after the far end starts for echo
// paths of 40 ms to 160 ms (the tracks on their shared timeline show 80 ms to
// 140 ms), where reporting none, as PulseAudio's echo-cancel module does for
// streams it has aligned itself, cancels 12 to 22 dB at 140 ms.
constexpr int reportedDelayMs = 100;

// The rate the module runs at for anything faster. Above 32 kHz it splits the
// near end into three bands and joins them again even with nothing to cancel,
// which on speech at 48 kHz keeps only 14 dB signal to distortion (its phase
// shifts by up to 4 samples across the speech band, and the band edge near
// 8 kHz drops by 3.7 dB with aliasing around it). At 32 kHz, in two bands, it
// keeps 20 dB, and behind libspeexdsp's resamplers (48 kHz to 32 kHz and back)
// as much; at 16 kHz it would be transparent but drop everything above 8 kHz.
constexpr int moduleRateAbove = 32000;
// The rate the far end is given to the module at when that runs at 32 kHz.
// The canceller learns the echo from the far end's lower band alone (up to
// 8 kHz), and given at 16 kHz the far end costs the module nothing but the
// analysis: at 32 kHz or 48 kHz it takes 0.04 CPU-seconds more per minute of
// audio to take it down itself. It cancels 40 dB or more of the echo either
// way on the simulated room.
constexpr int farRateResampled = 16000;

// libspeexdsp's qualities, the lowest that keep what matters, since the
// resamplers must not cost more than the three bands they spare the module:
// together they cost as much as it did at 48 kHz (see the benchmark). The near
// end's, 3: through 48 kHz to 32 kHz and back it is flat up to 13 kHz (4.3 dB
// down at 14 kHz, where speech has little left), keeps aliases 88 dB down and
// delays by 0.75 ms each way at 48 kHz; on speech it keeps 98 dB signal to
// distortion, far beyond what the module keeps. The far end's, 2: from 48 kHz
// to 16 kHz it is flat up to 6 kHz (0.6 dB down at 6.5 kHz, 5 dB at 7 kHz),
// and the canceller cancels as much echo as with 4 (40 dB or more on the
// simulated room), at half the cost.
constexpr int nearQuality = 3;
constexpr int farQuality = 2;

Error apmError(int code, const std::string& doing) {
  return Error{errorDomain, code,
               doing + " failed with the module's error " + std::to_string(code)};
}

// One mono libspeexdsp resampler that turns each chunk of `from` Hz into one of
// `to` Hz: exactly so when 10 ms of either rate is a whole number of its
// periods, which `chunksAreExact` checks before one is used.
class Resampler {
 public:
  static Result<Resampler> make(int from, int to, int quality) {
    int code = RESAMPLER_ERR_SUCCESS;
    SpeexResamplerState* state = speex_resampler_init(
        1, static_cast<spx_uint32_t>(from), static_cast<spx_uint32_t>(to), quality, &code);
    if (state == nullptr) {
      return Error{errorDomain, code,
                   std::string("libspeexdsp's resampler could not be created: ") +
                       speex_resampler_strerror(code)};
    }
    return Resampler(state, from / 100, to / 100);
  }

  // `in` holds one chunk at the rate it was made from; `out` receives it at the other.
  std::optional<Error> process(const float* in, float* out) {
    spx_uint32_t inFrames = inFrames_, outFrames = outFrames_;
    speex_resampler_process_float(state_.get(), 0, in, &inFrames, out, &outFrames);
    if (inFrames != inFrames_ || outFrames != outFrames_) {
      return Error{errorDomain, RESAMPLER_ERR_BAD_STATE,
                   "resampling a chunk of " + std::to_string(inFrames_) + " frames gave " +
                       std::to_string(outFrames) + " instead of " + std::to_string(outFrames_)};
    }
    return std::nullopt;
  }

 private:
  struct Destroy {
    void operator()(SpeexResamplerState* state) const { speex_resampler_destroy(state); }
  };
  Resampler(SpeexResamplerState* state, int inFrames, int outFrames)
      : state_(state),
        inFrames_(static_cast<spx_uint32_t>(inFrames)),
        outFrames_(static_cast<spx_uint32_t>(outFrames)) {}

  std::unique_ptr<SpeexResamplerState, Destroy> state_;
  spx_uint32_t inFrames_, outFrames_;
};

// Whether resamplers between `rate` and `moduleRate` turn every chunk into
// exactly one chunk: their phase comes back to where it was after each chunk,
// so that the first few show it (at 32.1 kHz the first chunk comes up short).
bool chunksAreExact(int rate, int moduleRate, int quality) {
  Result<Resampler> down = Resampler::make(rate, moduleRate, quality);
  Result<Resampler> up = Resampler::make(moduleRate, rate, quality);
  if (!down || !up) {
    return false;
  }
  std::vector<float> chunk(static_cast<size_t>(rate / 100)),
      module(static_cast<size_t>(moduleRate / 100));
  for (int c = 0; c < 4; ++c) {
    if (down.value().process(chunk.data(), module.data()) ||
        up.value().process(module.data(), chunk.data())) {
      return false;
    }
  }
  return true;
}

// One mono instance of the module: the far end as its reverse stream, one near
// channel as its capture stream. When the module runs slower than `rate`, the
// near end goes through a resampler of its own to the module's rate, and what
// comes out through another back (a shared one gives the far end).
class Instance {
 public:
  static Result<Instance> make(int rate, int moduleRate, int farRate) {
    Result<Instance> instance = make(moduleRate, farRate);
    if (!instance || rate == moduleRate) {
      return instance;
    }
    Result<Resampler> down = Resampler::make(rate, moduleRate, nearQuality);
    Result<Resampler> up = Resampler::make(moduleRate, rate, nearQuality);
    if (!down || !up) {
      return !down ? down.error() : up.error();
    }
    instance.value().down_ = std::move(down.value());
    instance.value().up_ = std::move(up.value());
    instance.value().near_.resize(static_cast<size_t>(moduleRate / 100));
    instance.value().out_.resize(static_cast<size_t>(moduleRate / 100));
    return instance;
  }

  // `far` holds one chunk at the far end's rate for the module, `near` one at
  // the canceller's; `out` receives the cancelled near end at the canceller's
  // (it may be `near`).
  std::optional<Error> process(const float* far, const float* near, float* out) {
    if (!down_) {
      return processModule(far, near, out);
    }
    if (auto error = down_->process(near, near_.data())) {
      return error;
    }
    if (auto error = processModule(far, near_.data(), out_.data())) {
      return error;
    }
    return up_->process(out_.data(), out);
  }

 private:
  static Result<Instance> make(int rate, int farRate) {
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
    const webrtc::StreamConfig mono(rate, 1), far(farRate, 1);
    const webrtc::ProcessingConfig streams = {{mono, mono, far, far}};
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
    return Instance(std::move(apm), mono, far);
  }

  // `far` and `near` hold one chunk at their rates for the module; `out`
  // receives the cancelled near end (it may be `near`).
  std::optional<Error> processModule(const float* far, const float* near, float* out) {
    const float* farChannels[] = {far};
    float* farOut[] = {reverseOut_.data()};
    if (int code = apm_->ProcessReverseStream(farChannels, farConfig_, farConfig_, farOut);
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
  Instance(std::unique_ptr<webrtc::AudioProcessing> apm, webrtc::StreamConfig config,
           webrtc::StreamConfig farConfig)
      : apm_(std::move(apm)),
        config_(config),
        farConfig_(farConfig),
        reverseOut_(farConfig.num_frames()) {}

  std::unique_ptr<webrtc::AudioProcessing> apm_;
  webrtc::StreamConfig config_, farConfig_;
  std::vector<float> reverseOut_;  // the reverse stream's output, never used
  // When the module runs slower: the near end down to its rate, and back.
  std::optional<Resampler> down_, up_;
  std::vector<float> near_, out_;  // one chunk at the module's rate
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
  WebrtcEchoCanceller(int rate, int farRate, uint32_t farChannels, std::vector<Instance> instances,
                      std::optional<Resampler> farDown, int64_t latency)
      : frames_(rate / 100),
        farFrames_(farRate / 100),
        latency_(latency),
        nearChannels_(static_cast<uint32_t>(instances.size())),
        farChannels_(farChannels),
        instances_(std::move(instances)),
        farDown_(std::move(farDown)),
        lastFed_(nearChannels_, -1),
        farMixed_(static_cast<size_t>(frames_)),
        far_(static_cast<size_t>(farFrames_ * flushChunks)),
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
    // This chunk's far end and channel 0 go into the rings at `slot` (the far
    // end at the rate the module takes it at, resampled once for all
    // instances, and on every chunk, so that its resampler never holds a stale
    // one). The far end's channels are mixed down to one, as the module does
    // itself: it analyses a stereo reverse stream as one channel, at the same
    // cost.
    const size_t slot = static_cast<size_t>(chunk_ % flushChunks) * frames;
    float* far = far_.data() + static_cast<size_t>(chunk_ % flushChunks * farFrames_);
    float* mixed = farDown_ ? farMixed_.data() : far;
    for (size_t f = 0; f < frames; ++f) {
      float sum = 0;
      for (uint32_t c = 0; c < farChannels_; ++c) {
        sum += sane(farEnd[f * farChannels_ + c]);
      }
      mixed[f] = sum / static_cast<float>(farChannels_);
    }
    if (farDown_) {
      if (auto error = farDown_->process(mixed, far)) {
        return fail(std::move(*error));
      }
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
      const auto ring = static_cast<size_t>((chunk_ - back) % flushChunks);
      if (auto error = instances_[c].process(far_.data() + ring * static_cast<size_t>(farFrames_),
                                             channel0_.data() + ring * frames, out)) {
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
  const int64_t farFrames_;  // frames in a chunk of the far end as the module takes it
  const int64_t latency_;
  const uint32_t nearChannels_;
  const uint32_t farChannels_;
  // All state below belongs to whichever thread is in `process`; `busy_`
  // checks in debug builds that there is only one.
  std::atomic<bool> busy_ = false;
  std::vector<Instance> instances_;   // one per near channel
  std::optional<Resampler> farDown_;  // the far end to the module's rate, when that is lower
  std::vector<int64_t> lastFed_;      // per near channel: the last chunk its instance was given
  int64_t chunk_ = 0;                 // chunks processed
  int64_t silentChunks_ = 0;          // chunks of digital silence in a row, up to this one
  bool failed_ = false;
  std::vector<float> farMixed_;  // this chunk's far end, mixed down, when it is resampled
  std::vector<float> far_;       // the last flushChunks of the far end, mixed down, a ring at
                                 // the rate the module takes it at
  std::vector<float> near_;      // this chunk's near end, channel after channel
  std::vector<float> out_;       // the cancelled near end, channel after channel
  std::vector<float> channel0_;  // the last flushChunks of channel 0, a ring
};

// How late the module, with the resamplers around it, hands the near end back
// at `rate`, measured on an instance that has heard no far end: the lag at
// which a probe of speech-band noise (white noise through a 12-tap average,
// below about 4 kHz) matches best what comes out. The module's band filters
// and the resamplers set it, and it differs across the spectrum (an impulse
// comes out earlier, its upper bands first), so it is measured where speech
// lies rather than assumed for a rate: 414 frames at 48 kHz.
Result<int64_t> measureLatency(int rate, int moduleRate, int farRate) {
  Result<Instance> probe = Instance::make(rate, moduleRate, farRate);
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
  const std::vector<float> far(static_cast<size_t>(farRate / 100), 0.0f);
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
    // A rate whose chunks the resamplers cannot turn into whole chunks at
    // 32 kHz (none that a sound card uses) runs the module at its own.
    const bool resampled = sampleRate > moduleRateAbove &&
                           chunksAreExact(sampleRate, moduleRateAbove, nearQuality) &&
                           chunksAreExact(sampleRate, farRateResampled, farQuality);
    const int moduleRate = resampled ? moduleRateAbove : sampleRate;
    const int farRate = resampled ? farRateResampled : sampleRate;
    Result<int64_t> latency = measureLatency(sampleRate, moduleRate, farRate);
    if (!latency) {
      return latency.error();
    }
    std::optional<Resampler> farDown;
    if (moduleRate != sampleRate) {
      Result<Resampler> resampler = Resampler::make(sampleRate, farRate, farQuality);
      if (!resampler) {
        return resampler.error();
      }
      farDown = std::move(resampler.value());
    }
    std::vector<Instance> instances;
    for (uint32_t c = 0; c < nearChannels; ++c) {
      Result<Instance> instance = Instance::make(sampleRate, moduleRate, farRate);
      if (!instance) {
        return instance.error();
      }
      instances.push_back(std::move(instance.value()));
    }
    return std::unique_ptr<EchoCanceller>(std::make_unique<WebrtcEchoCanceller>(
        sampleRate, farRate, farChannels, std::move(instances), std::move(farDown),
        latency.value()));
  }
};

}  // namespace

std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService() {
  return std::make_unique<WebrtcEchoCancellerService>();
}

}  // namespace velkin
