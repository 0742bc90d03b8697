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

// How long a differing channel's instance goes on after the channel last
// differed: short stretches of identical samples (both channels digitally
// silent, say) do not stop and restart it.
constexpr int64_t restAfterChunks = 200;

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
    // candidate's voice while both speak (9.6 dB signal to distortion where
    // the moderate one keeps 7.1 on the simulated room) and still takes 38 dB
    // or more of the echo away.
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
    // The delay is the module's own estimate; the reported one only sets
    // where its first guess starts (at its smallest, 50 ms), as in
    // PulseAudio's echo-cancel module.
    apm_->set_stream_delay_ms(0);
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
// 0.45 CPU-seconds per minute of audio for one. Most microphones give the same
// samples on every channel, so channel 0 is cancelled once and copied to each
// channel that is identical to it in that chunk. A channel that differs gets
// an instance of its own, which has to follow the call to stay converged: once
// it has run it goes on with every chunk, identical or not, until the channel
// has been identical for `restAfterChunks`; then it rests, and when the channel
// differs again it takes up with the filter it had (the room has rarely
// changed). Measured on the simulated room, a channel that takes up again
// cancels 30 dB of echo in its first 1.5 s where a fresh instance cancels 19;
// feeding the resting instance the far end it missed gained nothing. Running
// it always would double the cost for microphones that never differ.
class WebrtcEchoCanceller final : public EchoCanceller {
 public:
  WebrtcEchoCanceller(int rate, uint32_t farChannels, std::vector<Instance> instances)
      : frames_(rate / 100),
        nearChannels_(static_cast<uint32_t>(instances.size())),
        farChannels_(farChannels),
        instances_(std::move(instances)),
        lastDiffered_(nearChannels_, -1),
        far_(static_cast<size_t>(frames_)),
        near_(static_cast<size_t>(frames_) * nearChannels_),
        out_(static_cast<size_t>(frames_) * nearChannels_) {}

  int64_t framesPerChunk() const override { return frames_; }

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
    // The far end's channels are mixed down to one: a call's audio is nearly
    // always mono, and each further reverse channel would cost the module
    // another canceller per near channel.
    for (size_t f = 0; f < frames; ++f) {
      float sum = 0;
      for (uint32_t c = 0; c < farChannels_; ++c) {
        sum += sane(farEnd[f * farChannels_ + c]);
      }
      far_[f] = sum / static_cast<float>(farChannels_);
    }
    for (uint32_t c = 0; c < nearChannels_; ++c) {
      for (size_t f = 0; f < frames; ++f) {
        near_[c * frames + f] = sane(nearEnd[f * nearChannels_ + c]);
      }
    }

    if (auto error = instances_[0].process(far_.data(), near_.data(), out_.data())) {
      return fail(std::move(*error));
    }
    for (uint32_t c = 1; c < nearChannels_; ++c) {
      if (auto error = runChannel(c)) {
        return fail(std::move(*error));
      }
    }
    ++chunk_;

    for (uint32_t c = 0; c < nearChannels_; ++c) {
      for (size_t f = 0; f < frames; ++f) {
        nearEnd[f * nearChannels_ + c] = out_[c * frames + f];
      }
    }
    return std::nullopt;
  }

  // Channel `c` (not 0) into out_: its own instance's result while that runs,
  // channel 0's otherwise.
  std::optional<Error> runChannel(uint32_t c) {
    const auto frames = static_cast<size_t>(frames_);
    const float* near = near_.data() + c * frames;
    float* out = out_.data() + c * frames;
    int64_t& lastDiffered = lastDiffered_[c];
    if (!std::equal(near, near + frames, near_.data())) {
      lastDiffered = chunk_;
    }
    if (lastDiffered < 0 || chunk_ - lastDiffered > restAfterChunks) {
      std::copy(out_.data(), out_.data() + frames, out);
      return std::nullopt;
    }
    return instances_[c].process(far_.data(), near, out);
  }

  Error fail(Error error) {
    failed_ = true;
    return error;
  }

  const int64_t frames_;
  const uint32_t nearChannels_;
  const uint32_t farChannels_;
  // All state below belongs to whichever thread is in `process`; `busy_`
  // checks in debug builds that there is only one.
  std::atomic<bool> busy_ = false;
  std::vector<Instance> instances_;  // one per near channel
  // Per near channel (0 unused): the last chunk in which it differed from channel 0.
  std::vector<int64_t> lastDiffered_;
  int64_t chunk_ = 0;  // chunks processed
  bool failed_ = false;
  std::vector<float> far_;   // this chunk's far end, mixed down
  std::vector<float> near_;  // this chunk's near end, channel after channel
  std::vector<float> out_;   // the cancelled near end, channel after channel
};

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
    std::vector<Instance> instances;
    for (uint32_t c = 0; c < nearChannels; ++c) {
      Result<Instance> instance = Instance::make(sampleRate);
      if (!instance) {
        return instance.error();
      }
      instances.push_back(std::move(instance.value()));
    }
    return std::unique_ptr<EchoCanceller>(
        std::make_unique<WebrtcEchoCanceller>(sampleRate, farChannels, std::move(instances)));
  }
};

}  // namespace

std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService() {
  return std::make_unique<WebrtcEchoCancellerService>();
}

}  // namespace velkin
