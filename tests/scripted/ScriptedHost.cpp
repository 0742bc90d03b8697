#include "ScriptedHost.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

namespace velkin::scripted {

namespace {

constexpr int32_t kRate = 48000;
constexpr int64_t kBufferFrames = kRate / 50;  // 20 ms

Error scriptedError(std::string message) {
  return Error{"ScriptedHost", 1, std::move(message)};
}

// A media writer service whose finishes run but never report: the completion
// blocks the finishing thread for good, as a file system that stalls in fsync would.
class StalledService final : public MediaWriterService {
 public:
  explicit StalledService(std::unique_ptr<MediaWriterService> inner) : inner_(std::move(inner)) {}
  Result<std::shared_ptr<MediaWriter>> makeWriter(const Directory& directory,
                                                  const std::string& name,
                                                  MediaFileType type) override {
    Result<std::shared_ptr<MediaWriter>> made = inner_->makeWriter(directory, name, type);
    if (!made) {
      return made;
    }
    return std::shared_ptr<MediaWriter>(std::make_shared<Writer>(made.value()));
  }
  std::shared_ptr<MediaWriterInput> makeAudioInput(const AudioOutputSettings& settings,
                                                   const FormatDescription* hint) override {
    return inner_->makeAudioInput(settings, hint);
  }

 private:
  struct Writer final : MediaWriter {
    explicit Writer(std::shared_ptr<MediaWriter> inner) : inner(std::move(inner)) {}
    bool canAddInput(const MediaWriterInput& input) const override {
      return inner->canAddInput(input);
    }
    void addInput(std::shared_ptr<MediaWriterInput> input) override { inner->addInput(input); }
    bool startWriting() override { return inner->startWriting(); }
    void startSessionAtSourceTime(MediaTime time) override {
      inner->startSessionAtSourceTime(time);
    }
    void finishWriting(Completion) override {
      // Runs on the finishing thread, and never returns.
      inner->finishWriting([] { std::promise<void>().get_future().wait(); });
    }
    MediaWriterStatus status() const override { return inner->status(); }
    std::optional<Error> error() const override { return inner->error(); }
    const std::filesystem::path& outputURL() const override { return inner->outputURL(); }
    std::shared_ptr<MediaWriter> inner;
  };
  std::unique_ptr<MediaWriterService> inner_;
};

}  // namespace

Result<Scenario> Scenario::parse(std::string_view text) {
  using Setter = std::function<bool(Scenario&, const std::string&)>;
  const auto flag = [](bool Scenario::*field) {
    return Setter([field](Scenario& s, const std::string& v) {
      s.*field = v == "true";
      return v == "true" || v == "false";
    });
  };
  const auto seconds = [](double Scenario::*field) {
    return Setter([field](Scenario& s, const std::string& v) {
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), s.*field);
      return ec == std::errc() && end == v.data() + v.size() && std::isfinite(s.*field) &&
             s.*field >= 0;
    });
  };
  const std::map<std::string, Setter> setters = {
      {"screen-preflight", flag(&Scenario::screenPreflight)},
      {"screen-request", flag(&Scenario::screenRequest)},
      {"stall-finishes", flag(&Scenario::stallFinishes)},
      {"audio-seconds", seconds(&Scenario::audioSeconds)},
      {"microphone-seconds", seconds(&Scenario::microphoneSeconds)},
      {"start-gate", [](Scenario& s, const std::string& v) { return (s.startGate = v, true); }},
      {"echo-canceller-error",
       [](Scenario& s, const std::string& v) {
         return (s.echoCancellerError = scriptedError(v), true);
       }},
      {"fail-after-delivery",
       [](Scenario& s, const std::string& v) {
         return (s.failAfterDelivery = scriptedError(v), true);
       }},
  };
  Scenario s;
  std::string normalized(text);
  std::replace(normalized.begin(), normalized.end(), '\n', ';');
  std::istringstream items(normalized);
  for (std::string item; std::getline(items, item, ';');) {
    if (item.empty()) {
      continue;
    }
    const auto equals = item.find('=');
    const auto setter = setters.find(item.substr(0, equals));
    if (equals == std::string::npos || setter == setters.end()) {
      return scriptedError("unknown scenario key: " + item);
    }
    if (!setter->second(s, item.substr(equals + 1))) {
      return scriptedError("bad scenario value: " + item);
    }
  }
  return s;
}

ScriptedHost::ScriptedHost(Scenario scenario, std::unique_ptr<MediaWriterService> media,
                           const Runtime* runtime)
    : scenario_(std::move(scenario)),
      media_(scenario_.stallFinishes ? std::make_unique<StalledService>(std::move(media))
                                     : std::move(media)),
      runtime_(runtime) {}

ScriptedHost::~ScriptedHost() = default;

namespace {

class EchoReplay final : public EchoCanceller {
 public:
  EchoReplay(int rate, uint32_t nearChannels, uint32_t farChannels)
      : rate_(rate), near_(nearChannels), far_(farChannels), late_(kLatency * nearChannels, 0.0f) {}
  int64_t framesPerChunk() const override { return rate_ / 100; }
  // Late by a few frames, as a real canceller's filters make it.
  int64_t latencyFrames() const override { return kLatency; }
  std::optional<Error> process(std::span<const float> farEnd, std::span<float> nearEnd) override {
    for (size_t f = 0; f < nearEnd.size() / near_; ++f) {
      for (size_t c = 0; c < near_; ++c) {
        late_.push_back(farEnd[f * far_ + std::min<size_t>(c, far_ - 1)]);
      }
    }
    std::copy_n(late_.begin(), nearEnd.size(), nearEnd.begin());
    late_.erase(late_.begin(), late_.begin() + std::ptrdiff_t(nearEnd.size()));
    return std::nullopt;
  }

 private:
  static constexpr int64_t kLatency = 7;
  int rate_;
  size_t near_;
  size_t far_;
  std::vector<float> late_;  // the far end not handed back yet
};

}  // namespace

Result<std::unique_ptr<EchoCanceller>> ScriptedHost::makeEchoCanceller(int sampleRate,
                                                                       uint32_t nearChannels,
                                                                       uint32_t farChannels) {
  record("makeEchoCanceller " + std::to_string(sampleRate) + " " + std::to_string(nearChannels) +
         " " + std::to_string(farChannels));
  if (scenario_.echoCancellerError) {
    return *scenario_.echoCancellerError;
  }
  return std::unique_ptr<EchoCanceller>(
      std::make_unique<EchoReplay>(sampleRate, nearChannels, farChannels));
}

void ScriptedHost::record(std::string call, bool onMainThreadOnly) {
  if (onMainThreadOnly && runtime_ != nullptr && !runtime_->isMainThread()) {
    call += " off the main thread";
  }
  std::lock_guard guard(lock_);
  calls_.push_back(std::move(call));
}

std::vector<std::string> ScriptedHost::calls() {
  std::lock_guard guard(lock_);
  return calls_;
}

std::optional<StreamConfiguration> ScriptedHost::configuration() {
  std::lock_guard guard(lock_);
  return configuration_;
}

AuthorizationStatus ScriptedHost::microphoneAuthorizationStatus() {
  record("microphoneAuthorizationStatus");
  if (!microphoneRequested_) {
    return scenario_.microphoneStatus;
  }
  return scenario_.microphoneStatusAfterRequest.value_or(scenario_.microphoneRequestGranted
                                                             ? AuthorizationStatus::authorized
                                                             : AuthorizationStatus::denied);
}

// Answers from the host's own thread, as a real prompt would.
void ScriptedHost::requestMicrophoneAccess(std::function<void(bool)> handler) {
  record("requestMicrophoneAccess");
  microphoneRequested_ = true;
  hostQueue_.async([handler = std::move(handler), granted = scenario_.microphoneRequestGranted] {
    handler(granted);
  });
}

void ScriptedHost::getShareableContent(bool, bool, ContentHandler handler) {
  record("getShareableContent");
  Result<ShareableContent> answer =
      scenario_.contentError ? Result<ShareableContent>(*scenario_.contentError)
                             : Result<ShareableContent>(ShareableContent{scenario_.displays});
  hostQueue_.async(
      [handler = std::move(handler), answer = std::move(answer)]() mutable { handler(answer); });
}

std::unique_ptr<CaptureStream> ScriptedHost::makeStream(const ContentFilter&,
                                                        const StreamConfiguration& configuration,
                                                        StreamDelegate& delegate) {
  record("makeStream");
  {
    std::lock_guard guard(lock_);
    configuration_ = configuration;
  }
  auto stream = std::make_unique<ScriptedStream>(*this, delegate);
  stream_.store(stream.get());
  return stream;
}

ScriptedStream::ScriptedStream(ScriptedHost& host, StreamDelegate& delegate)
    : host_(host), delegate_(delegate) {}

ScriptedStream::~ScriptedStream() {
  // Nothing may reach the agent through this stream once it is gone.
  std::promise<void> idle;
  host_.hostQueue_.async([&idle] { idle.set_value(); });
  idle.get_future().wait();
  ScriptedStream* self = this;
  host_.stream_.compare_exchange_strong(self, nullptr);
}

std::optional<Error> ScriptedStream::addStreamOutput(StreamOutput& output, OutputType type,
                                                     SerialQueue& queue) {
  host_.record("addStreamOutput(" + std::to_string(static_cast<int>(type)) + ", " + queue.label() +
               ")");
  const auto& refused = host_.scenario_.outputError;
  if (refused && refused->first == type) {
    return refused->second;
  }
  outputs_[type] = {&output, &queue};
  return std::nullopt;
}

void ScriptedStream::startCapture(Completion handler) {
  host_.record("startCapture");
  host_.hostQueue_.async([this, handler = std::move(handler)] {
    const Scenario& s = host_.scenario_;
    // The gate is opened by a test, by hand: a short poll costs nothing there.
    for (std::error_code e; s.startGate && !std::filesystem::exists(*s.startGate, e);) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (s.startError) {
      handler(s.startError);
      return;
    }
    capturing_.store(true);
    handler(std::nullopt);
    deliverScenario();
  });
}

void ScriptedStream::stopCapture(Completion handler) {
  host_.record("stopCapture");
  host_.hostQueue_.async([this, handler = std::move(handler)] {
    capturing_.store(false);
    // Whatever was delivered before the stop runs before the answer.
    drain();
    handler(host_.scenario_.stopError);
  });
}

void ScriptedStream::deliverScenario() {
  const Scenario& s = host_.scenario_;
  const auto buffers = [](double seconds) {
    return static_cast<int64_t>(std::llround(seconds * kRate)) / kBufferFrames;
  };
  const int64_t audio = buffers(s.audioSeconds);
  const int64_t microphone = buffers(s.microphoneSeconds);
  for (int64_t i = 0; i < std::max(audio, microphone); ++i) {
    if (i < audio) {
      deliver(OutputType::audio, i * kBufferFrames, kBufferFrames);
    }
    if (i < microphone) {
      deliver(OutputType::microphone, i * kBufferFrames, kBufferFrames);
    }
  }
  if (s.failAfterDelivery) {
    drain();
    delegate_.streamDidStop(*this, *s.failAfterDelivery);
  }
}

void ScriptedStream::deliver(OutputType type, int64_t pts, int64_t frames, bool ready) {
  static const FormatDescription stereoFloat(
      AudioStreamDescription{kRate, 2, SampleFormat::float32});
  const auto found = outputs_.find(type);
  if (found == outputs_.end()) {
    return;
  }
  auto [output, queue] = found->second;
  // A ramp that differs per track and never repeats within a buffer, so that
  // samples can be told apart in the files.
  auto data = std::make_shared<std::vector<float>>(static_cast<std::size_t>(frames) * 2);
  for (int64_t f = 0; f < frames; ++f) {
    const float value = static_cast<float>((pts + f) % 1000) / 1000.0f;
    (*data)[2 * f] = type == OutputType::microphone ? -value : value;
    (*data)[2 * f + 1] = 0.5f * value;
  }
  const FormatDescription* format = type == OutputType::screen ? nullptr : &stereoFloat;
  queue->async([this, output, type, pts, ready, format, data] {
    const SampleBuffer sample(ready, MediaTime::make(pts, kRate), format,
                              std::as_bytes(std::span(*data)));
    output->stream(*this, sample, type);
  });
}

void ScriptedStream::drain() {
  for (auto& [type, target] : outputs_) {
    if (!target.second->isCurrent()) {
      std::promise<void> done;
      target.second->async([&done] { done.set_value(); });
      done.get_future().wait();
    }
  }
}

}  // namespace velkin::scripted
