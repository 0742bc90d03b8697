#include "ScriptedHost.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <future>
#include <sstream>

#include "platform/Console.hpp"

namespace velkin::scripted {

namespace {

constexpr int32_t kRate = 48000;
constexpr int64_t kBufferFrames = kRate / 50;  // 20 ms

const FormatDescription& stereoFloat() {
  static const FormatDescription format(AudioStreamDescription{kRate, 2, SampleFormat::float32});
  return format;
}

Error scriptedError(std::string message) {
  return Error{"ScriptedHost", 1, std::move(message)};
}

std::optional<bool> parseBool(std::string_view v) {
  if (v == "true") {
    return true;
  }
  if (v == "false") {
    return false;
  }
  return std::nullopt;
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view v) {
  Number n{};
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || end != v.data() + v.size()) {
    return std::nullopt;
  }
  return n;
}

std::optional<OutputType> parseOutputType(std::string_view v) {
  if (v == "screen") {
    return OutputType::screen;
  }
  if (v == "audio") {
    return OutputType::audio;
  }
  if (v == "microphone") {
    return OutputType::microphone;
  }
  return std::nullopt;
}

// Blocks until an entry exists at `path`, woken by the kernel when the parent
// directory changes rather than by polling.
void waitForEntry(const std::filesystem::path& path) {
  const int fd = ::inotify_init1(IN_CLOEXEC);
  if (fd < 0) {
    return;
  }
  (void)::inotify_add_watch(fd, path.parent_path().c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB);
  std::error_code ignored;
  while (!std::filesystem::exists(path, ignored)) {
    alignas(inotify_event) char events[4096];
    if (::read(fd, events, sizeof events) < 0 && errno != EINTR) {
      break;
    }
  }
  ::close(fd);
}

}  // namespace

Result<Scenario> Scenario::parse(std::string_view text) {
  Scenario s;
  std::string normalized(text);
  for (char& c : normalized) {
    if (c == ';') {
      c = '\n';
    }
  }
  std::istringstream lines(normalized);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.front() == '#') {
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      return scriptedError("scenario line without '=': " + line);
    }
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    bool ok = true;
    if (key == "stall-finishes") {
      const std::optional<bool> b = parseBool(value);
      ok = b.has_value();
      s.stallFinishes = b.value_or(false);
    } else if (key == "screen-preflight" || key == "screen-request" || key == "mic-request") {
      std::optional<bool> b =
          key == "mic-request" ? std::optional<bool>(value == "granted") : parseBool(value);
      if (key == "mic-request" && value != "granted" && value != "refused") {
        b.reset();
      }
      ok = b.has_value();
      if (ok) {
        (key == "screen-preflight" ? s.screenPreflight
         : key == "screen-request" ? s.screenRequest
                                   : s.microphoneRequestGranted) = *b;
      }
    } else if (key == "mic-status" || key == "mic-status-after-request") {
      const auto n = parseNumber<int>(value);
      ok = n && *n >= 0 && *n <= 3;
      if (ok) {
        (key == "mic-status" ? s.microphoneStatus : s.microphoneStatusAfterRequest.emplace()) =
            static_cast<AuthorizationStatus>(*n);
      }
    } else if (key == "content-error") {
      s.contentError = scriptedError(value);
    } else if (key == "displays") {
      s.displays.clear();
      if (value != "none") {
        std::istringstream list(value);
        std::string item;
        while (ok && std::getline(list, item, ',')) {
          const auto x = item.find('x');
          const auto w = parseNumber<uint32_t>(std::string_view(item).substr(0, x));
          const auto h = x == std::string::npos
                             ? std::nullopt
                             : parseNumber<uint32_t>(std::string_view(item).substr(x + 1));
          ok = w && h;
          if (ok) {
            s.displays.push_back(Display{*w, *h});
          }
        }
      }
    } else if (key == "output-error") {
      const auto colon = value.find(':');
      const auto type = parseOutputType(value.substr(0, colon));
      ok = type && colon != std::string::npos;
      if (ok) {
        s.outputError.emplace(*type, scriptedError(value.substr(colon + 1)));
      }
    } else if (key == "start-error") {
      s.startError = scriptedError(value);
    } else if (key == "stop-error") {
      s.stopError = scriptedError(value);
    } else if (key == "start-gate") {
      s.startGate = std::filesystem::path(value);
    } else if (key == "audio-seconds" || key == "microphone-seconds") {
      const auto n = parseNumber<double>(value);
      ok = n && *n >= 0;
      if (ok) {
        (key == "audio-seconds" ? s.audioSeconds : s.microphoneSeconds) = *n;
      }
    } else if (key == "screen-frames") {
      const auto n = parseNumber<int>(value);
      ok = n && *n >= 0;
      if (ok) {
        s.screenFrames = *n;
      }
    } else if (key == "fail-after-delivery") {
      s.failAfterDelivery = scriptedError(value);
    } else {
      return scriptedError("unknown scenario key: " + key);
    }
    if (!ok) {
      return scriptedError("bad scenario value: " + line);
    }
  }
  return s;
}

void Journal::record(std::string call) {
  std::lock_guard guard(lock);
  calls.push_back(std::move(call));
}

std::vector<std::string> Journal::snapshot() {
  std::lock_guard guard(lock);
  return calls;
}

class ScriptedHost::Permissions final : public PermissionService {
 public:
  explicit Permissions(ScriptedHost& host) : host_(host) {}

  bool preflightScreenCaptureAccess() override {
    host_.journal_.record("preflightScreenCaptureAccess");
    return host_.scenario_.screenPreflight;
  }
  bool requestScreenCaptureAccess() override {
    host_.journal_.record("requestScreenCaptureAccess");
    return host_.scenario_.screenRequest;
  }
  AuthorizationStatus microphoneAuthorizationStatus() override {
    host_.journal_.record("microphoneAuthorizationStatus");
    return requested_ ? afterRequest() : host_.scenario_.microphoneStatus;
  }
  // Answers from the host's own thread, as a real prompt would.
  void requestMicrophoneAccess(std::function<void(bool)> handler) override {
    host_.journal_.record("requestMicrophoneAccess");
    requested_ = true;
    const bool granted = host_.scenario_.microphoneRequestGranted;
    host_.hostQueue_.async([handler = std::move(handler), granted] { handler(granted); });
  }

 private:
  AuthorizationStatus afterRequest() const {
    const Scenario& s = host_.scenario_;
    if (s.microphoneStatusAfterRequest) {
      return *s.microphoneStatusAfterRequest;
    }
    return s.microphoneRequestGranted ? AuthorizationStatus::authorized
                                      : AuthorizationStatus::denied;
  }

  ScriptedHost& host_;
  std::atomic<bool> requested_{false};
};

class ScriptedHost::Application final : public ApplicationService {
 public:
  explicit Application(ScriptedHost& host) : host_(host) {}

  bool setActivationPolicy(ActivationPolicy policy) override {
    check("setActivationPolicy");
    host_.journal_.record(policy == ActivationPolicy::regular ? "setActivationPolicy(regular)"
                                                              : "setActivationPolicy(accessory)");
    return true;
  }
  void activateIgnoringOtherApps(bool) override {
    check("activateIgnoringOtherApps");
    host_.journal_.record("activateIgnoringOtherApps");
  }

 private:
  void check(const char* call) {
    if (host_.runtime_ != nullptr && !host_.runtime_->isMainThread()) {
      std::lock_guard guard(host_.journal_.lock);
      host_.journal_.mainThreadViolations.emplace_back(call);
    }
  }

  ScriptedHost& host_;
};

class ScriptedHost::Capture final : public CaptureService {
 public:
  explicit Capture(ScriptedHost& host) : host_(host) {}

  void getShareableContent(bool, bool, ContentHandler handler) override {
    host_.journal_.record("getShareableContent");
    const Scenario& s = host_.scenario_;
    Result<ShareableContent> answer = s.contentError
                                          ? Result<ShareableContent>(*s.contentError)
                                          : Result<ShareableContent>(ShareableContent{s.displays});
    host_.hostQueue_.async(
        [handler = std::move(handler), answer = std::move(answer)]() mutable { handler(answer); });
  }

  std::unique_ptr<CaptureStream> makeStream(const ContentFilter&,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    host_.journal_.record("makeStream");
    {
      std::lock_guard guard(host_.journal_.lock);
      host_.journal_.configuration = configuration;
    }
    auto stream = std::make_unique<ScriptedStream>(host_, delegate);
    host_.stream_.store(stream.get());
    return stream;
  }

 private:
  ScriptedHost& host_;
};

namespace {

// A media writer whose finishes run but never report: the completion blocks the
// finishing thread for good, as a file system that stalls in fsync would.
class StalledWriter final : public MediaWriter {
 public:
  explicit StalledWriter(std::shared_ptr<MediaWriter> inner) : inner_(std::move(inner)) {}
  bool canAddInput(const MediaWriterInput& input) const override {
    return inner_->canAddInput(input);
  }
  void addInput(std::shared_ptr<MediaWriterInput> input) override { inner_->addInput(input); }
  bool startWriting() override { return inner_->startWriting(); }
  void startSessionAtSourceTime(MediaTime time) override { inner_->startSessionAtSourceTime(time); }
  void finishWriting(Completion) override {
    // Runs on the finishing thread, and never returns.
    inner_->finishWriting([] { std::promise<void>().get_future().wait(); });
  }
  MediaWriterStatus status() const override { return inner_->status(); }
  std::optional<Error> error() const override { return inner_->error(); }
  const std::filesystem::path& outputURL() const override { return inner_->outputURL(); }

 private:
  std::shared_ptr<MediaWriter> inner_;
};

class StalledService final : public MediaWriterService {
 public:
  explicit StalledService(std::unique_ptr<MediaWriterService> inner) : inner_(std::move(inner)) {}
  Result<std::shared_ptr<MediaWriter>> makeWriter(const std::filesystem::path& url,
                                                  MediaFileType type) override {
    Result<std::shared_ptr<MediaWriter>> made = inner_->makeWriter(url, type);
    if (!made) {
      return made;
    }
    return std::shared_ptr<MediaWriter>(std::make_shared<StalledWriter>(made.value()));
  }
  std::shared_ptr<MediaWriterInput> makeAudioInput(const AudioOutputSettings& settings,
                                                   const FormatDescription* hint) override {
    return inner_->makeAudioInput(settings, hint);
  }

 private:
  std::unique_ptr<MediaWriterService> inner_;
};

}  // namespace

ScriptedHost::ScriptedHost(Scenario scenario, std::unique_ptr<MediaWriterService> media,
                           const Runtime* runtime)
    : scenario_(std::move(scenario)),
      media_(scenario_.stallFinishes ? std::unique_ptr<MediaWriterService>(
                                           std::make_unique<StalledService>(std::move(media)))
                                     : std::move(media)),
      runtime_(runtime),
      permissions_(std::make_unique<Permissions>(*this)),
      application_(std::make_unique<Application>(*this)),
      capture_(std::make_unique<Capture>(*this)) {}

ScriptedHost::~ScriptedHost() = default;

PermissionService& ScriptedHost::permissions() {
  return *permissions_;
}
ApplicationService& ScriptedHost::application() {
  return *application_;
}
CaptureService& ScriptedHost::capture() {
  return *capture_;
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
  host_.journal_.record(std::string("addStreamOutput(") + std::to_string(static_cast<int>(type)) +
                        ", " + queue.label() + ")");
  const auto& refused = host_.scenario_.outputError;
  if (refused && refused->first == type) {
    return refused->second;
  }
  {
    std::lock_guard guard(host_.journal_.lock);
    host_.journal_.outputsAdded.push_back(type);
  }
  outputs_[type] = {&output, &queue};
  return std::nullopt;
}

void ScriptedStream::startCapture(Completion handler) {
  host_.journal_.record("startCapture");
  host_.hostQueue_.async([this, handler = std::move(handler)] {
    const Scenario& s = host_.scenario_;
    if (s.startGate) {
      waitForEntry(*s.startGate);
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
  host_.journal_.record("stopCapture");
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
  for (int i = 0; i < s.screenFrames; ++i) {
    deliver(OutputType::screen, int64_t(i) * kRate, 0);
  }
  if (s.failAfterDelivery) {
    drain();
    delegate_.streamDidStop(*this, *s.failAfterDelivery);
  }
}

void ScriptedStream::deliver(OutputType type, int64_t pts, int64_t frames, bool ready,
                             bool withFormat) {
  const auto found = outputs_.find(type);
  if (found == outputs_.end()) {
    return;
  }
  auto [output, queue] = found->second;
  // A ramp that differs per track and never repeats within a buffer, so that
  // tests can tell which samples landed where.
  auto data = std::make_shared<std::vector<float>>(static_cast<std::size_t>(frames) * 2);
  for (int64_t f = 0; f < frames; ++f) {
    const float value = static_cast<float>((pts + f) % 1000) / 1000.0f;
    (*data)[2 * f] = type == OutputType::microphone ? -value : value;
    (*data)[2 * f + 1] = 0.5f * value;
  }
  const FormatDescription* format =
      type == OutputType::screen ? nullptr : (withFormat ? &stereoFloat() : nullptr);
  queue->async([this, output, type, pts, ready, format, data] {
    const SampleBuffer sample(ready, MediaTime::make(pts, kRate), format,
                              std::as_bytes(std::span(*data)));
    output->stream(*this, sample, type);
  });
}

void ScriptedStream::drain() {
  for (auto& [type, target] : outputs_) {
    SerialQueue* queue = target.second;
    if (queue->isCurrent()) {
      continue;
    }
    std::promise<void> done;
    queue->async([&done] { done.set_value(); });
    done.get_future().wait();
  }
}

void ScriptedStream::fail(Error error) {
  host_.hostQueue_.async(
      [this, error = std::move(error)] { delegate_.streamDidStop(*this, error); });
}

namespace {

class RecordingInput final : public MediaWriterInput {
 public:
  void setExpectsMediaDataInRealTime(bool) override {}
  bool isReadyForMoreMediaData() const override { return !finished_; }
  bool append(const SampleBuffer& sample) override {
    std::lock_guard guard(state_->lock);
    RecordedSegment& segment = state_->segments.at(index_);
    segment.frames += sample.frameCount();
    segment.sampleTimes.push_back(sample.presentationTimeStamp().value);
    return true;
  }
  void markAsFinished() override { finished_ = true; }

  std::shared_ptr<RecordingMediaWriterService::State> state_;
  std::size_t index_ = 0;
  bool finished_ = false;
};

class RecordingWriter final : public MediaWriter {
 public:
  RecordingWriter(std::shared_ptr<RecordingMediaWriterService::State> state,
                  std::filesystem::path url, SerialQueue& finisher)
      : state_(std::move(state)), url_(std::move(url)), finisher_(finisher) {}

  bool canAddInput(const MediaWriterInput&) const override { return true; }
  void addInput(std::shared_ptr<MediaWriterInput> input) override {
    input_ = std::static_pointer_cast<RecordingInput>(input);
  }
  bool startWriting() override {
    std::lock_guard guard(state_->lock);
    input_->state_ = state_;
    input_->index_ = state_->segments.size();
    state_->segments.push_back(RecordedSegment{url_, {}, 0, {}, false});
    status_ = MediaWriterStatus::writing;
    return true;
  }
  void startSessionAtSourceTime(MediaTime time) override {
    std::lock_guard guard(state_->lock);
    state_->segments.at(input_->index_).sessionStart = time;
  }
  // Completes on the finisher's thread, like a real writer closing its file.
  void finishWriting(Completion handler) override {
    finisher_.async([this, handler = std::move(handler)] {
      {
        std::lock_guard guard(state_->lock);
        state_->segments.at(input_->index_).finished = true;
      }
      status_ = MediaWriterStatus::completed;
      handler();
    });
  }
  MediaWriterStatus status() const override { return status_.load(); }
  std::optional<Error> error() const override { return std::nullopt; }
  const std::filesystem::path& outputURL() const override { return url_; }

 private:
  std::shared_ptr<RecordingMediaWriterService::State> state_;
  std::filesystem::path url_;
  SerialQueue& finisher_;
  std::shared_ptr<RecordingInput> input_;
  std::atomic<MediaWriterStatus> status_{MediaWriterStatus::unknown};
};

}  // namespace

Result<std::shared_ptr<MediaWriter>> RecordingMediaWriterService::makeWriter(
    const std::filesystem::path& url, MediaFileType) {
  return std::shared_ptr<MediaWriter>(std::make_shared<RecordingWriter>(state_, url, finisher_));
}

std::shared_ptr<MediaWriterInput> RecordingMediaWriterService::makeAudioInput(
    const AudioOutputSettings&, const FormatDescription*) {
  return std::make_shared<RecordingInput>();
}

std::vector<RecordedSegment> RecordingMediaWriterService::segments() {
  std::lock_guard guard(state_->lock);
  return state_->segments;
}

}  // namespace velkin::scripted
