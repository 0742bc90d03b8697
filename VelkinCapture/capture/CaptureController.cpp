#include "capture/CaptureController.hpp"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <future>

#include "capture/CaptureError.hpp"
#include "platform/Console.hpp"
#include "platform/Process.hpp"

namespace velkin {

namespace {

int64_t steadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Directory openOrNone(const std::filesystem::path& path) {
  Result<Directory> opened = Directory::open(path);
  return opened ? opened.value() : Directory();
}

}  // namespace

CaptureController::CaptureController(Host& host, Runtime& runtime,
                                     const std::filesystem::path& directory, ProcessExit onExit)
    : CaptureController(host, runtime, openOrNone(directory), std::move(onExit)) {}

CaptureController::CaptureController(Host& host, Runtime& runtime, Directory directory,
                                     ProcessExit onExit)
    : host_(host),
      runtime_(runtime),
      directory_(std::move(directory)),
      exitProcess_(onExit ? std::move(onExit) : ProcessExit(&velkin::exitProcess)),
      interviewer_("interviewer", directory_, host.mediaWriter(), finishes_),
      candidate_("candidate", directory_, host.mediaWriter(), finishes_),
      audioQueue_("velkin.capture.audio", QualityOfService::userInitiated),
      microphoneQueue_("velkin.capture.microphone", QualityOfService::userInitiated),
      screenQueue_("velkin.capture.screen", QualityOfService::utility) {}

// The stream goes first, so that no sample is delivered to a queue or a writer
// that is already gone; the queues then run what they hold before they join.
CaptureController::~CaptureController() {
  stream_.reset();
  // The echo timer goes on the queue whose context serves it, while that
  // context is still there; its cancelled wait then finds nothing to do.
  if (echoTimer_) {
    std::promise<void> gone;
    microphoneQueue_.async([this, &gone] {
      echoTimer_.reset();
      gone.set_value();
    });
    gone.get_future().wait();
  }
}

const char* CaptureController::kindName(OutputType type) {
  switch (type) {
    case OutputType::screen:
      return "screen";
    case OutputType::audio:
      return "audio";
    case OutputType::microphone:
      return "microphone";
  }
  return "unknown";
}

void CaptureController::foregroundForPermission() {
  assert(runtime_.isMainThread());
  ApplicationService& application = host_.application();
  (void)application.setActivationPolicy(ActivationPolicy::regular);
  application.activateIgnoringOtherApps(true);
}

void CaptureController::returnToAccessoryMode() {
  assert(runtime_.isMainThread());
  (void)host_.application().setActivationPolicy(ActivationPolicy::accessory);
}

asio::awaitable<std::optional<Error>> CaptureController::checkPermissions() {
  const auto pool = co_await asio::this_coro::executor;
  PermissionService& permissions = host_.permissions();

  co_await switchTo(runtime_.mainExecutor());
  foregroundForPermission();
  co_await switchTo(pool);

  if (!permissions.preflightScreenCaptureAccess() && !permissions.requestScreenCaptureAccess()) {
    co_return captureError(CaptureErrorCode::screenRecordingDenied);
  }

  if (permissions.microphoneAuthorizationStatus() == AuthorizationStatus::notDetermined) {
    const bool granted =
        co_await awaitCompletion<bool>([&permissions](std::function<void(bool)> done) {
          permissions.requestMicrophoneAccess(std::move(done));
        });
    if (!granted) {
      co_return captureError(CaptureErrorCode::microphoneDenied);
    }
  }
  if (permissions.microphoneAuthorizationStatus() != AuthorizationStatus::authorized) {
    co_return captureError(CaptureErrorCode::microphoneNotAuthorized);
  }

  co_await switchTo(runtime_.mainExecutor());
  returnToAccessoryMode();
  co_await switchTo(pool);
  co_return std::nullopt;
}

asio::awaitable<std::optional<Error>> CaptureController::start() {
  if (auto denied = co_await checkPermissions()) {
    co_return denied;
  }

  CaptureService& capture = host_.capture();
  Result<ShareableContent> content = co_await awaitCompletion<Result<ShareableContent>>(
      [&capture](CaptureService::ContentHandler done) {
        capture.getShareableContent(false, false, std::move(done));
      });
  if (!content) {
    co_return content.error();
  }
  if (content.value().displays.empty()) {
    co_return captureError(CaptureErrorCode::noDisplay);
  }
  const Display display = content.value().displays.front();

  const ContentFilter filter{display};
  StreamConfiguration configuration;
  configuration.width = display.width;
  configuration.height = display.height;
  configuration.minimumFrameInterval = MediaTime::make(1, 1);
  configuration.queueDepth = 2;
  configuration.showsCursor = false;
  configuration.capturesAudio = true;
  configuration.captureMicrophone = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  configuration.excludesCurrentProcessAudio = false;

  if (cancelEcho_) {
    const auto channels = uint32_t(configuration.channelCount);
    Result<std::unique_ptr<EchoCanceller>> canceller =
        host_.echoCanceller().makeEchoCanceller(configuration.sampleRate, channels, channels);
    if (canceller) {
      echo_ = std::make_unique<EchoStage>(
          std::move(canceller.value()), configuration.sampleRate, channels, channels,
          std::chrono::duration_cast<std::chrono::nanoseconds>(kEchoWait).count());
      echoTimer_.emplace(microphoneQueue_.executor());
    } else {
      // The call is recorded all the same, with the microphone as it is.
      writeStandardError("Velkin capture warning: echo cancelling is off: " +
                         escapeText(canceller.error().localizedDescription()) + "\n");
    }
  }

  std::unique_ptr<CaptureStream> stream = capture.makeStream(filter, configuration, *this);
  const std::pair<OutputType, SerialQueue*> outputs[] = {
      {OutputType::screen, &screenQueue_},
      {OutputType::audio, &audioQueue_},
      {OutputType::microphone, &microphoneQueue_},
  };
  for (const auto& [type, queue] : outputs) {
    if (auto refused = stream->addStreamOutput(*this, type, *queue)) {
      co_return refused;
    }
  }

  // Stored before capture starts, so that stop() finds it whatever happens next.
  stream_ = std::move(stream);
  CaptureStream& started = *stream_;
  std::optional<Error> failed = co_await awaitCompletion<std::optional<Error>>(
      [&started](CaptureStream::Completion done) { started.startCapture(std::move(done)); });
  if (failed) {
    co_return failed;
  }

  // Set first, so that a stop signal seen once the line is out takes the
  // orderly stop, never the failed start.
  announced_.store(true);
  // Flushed at once: a parent reading through a pipe must not wait for exit.
  writeStandardOutput("VELKIN_CAPTURE_READY " + directory_.path().string() + "\n");
  co_return std::nullopt;
}

void CaptureController::stream(CaptureStream&, const SampleBuffer& sample, OutputType type) {
  const std::string kind = kindName(type);
  bool first = false;
  {
    std::lock_guard guard(observedOutputsLock_);
    first = observedOutputs_.insert(kind).second;
  }
  if (first) {
    writeStandardError("VELKIN_CAPTURE_FIRST_OUTPUT " + kind + "\n");
  }
  switch (type) {
    case OutputType::audio:
      VELKIN_ASSERT_ON(audioQueue_);
      interviewer_.append(sample);
      if (echo_ && echo_->addFarEnd(sample)) {
        microphoneQueue_.async([this] {
          echo_->pump(steadyNanoseconds(),
                      [this](const SampleBuffer& done) { candidate_.append(done); });
          afterEchoStage();
        });
      }
      break;
    case OutputType::microphone:
      VELKIN_ASSERT_ON(microphoneQueue_);
      toCandidate(sample);
      break;
    default:
      break;
  }
}

void CaptureController::toCandidate(const SampleBuffer& sample) {
  if (!echo_) {
    candidate_.append(sample);
    return;
  }
  echo_->addNearEnd(sample, steadyNanoseconds(),
                    [this](const SampleBuffer& done) { candidate_.append(done); });
  afterEchoStage();
}

void CaptureController::afterEchoStage() {
  VELKIN_ASSERT_ON(microphoneQueue_);
  if (std::optional<std::string> reason = echo_->takeOffReason()) {
    writeStandardError("Velkin capture warning: echo cancelling is off: " + escapeText(*reason) +
                       "\n");
  }
  const std::optional<int64_t> due = echo_->waitsUntil();
  if (due == echoTimerDue_) {
    return;
  }
  echoTimerDue_ = due;
  if (!due) {
    echoTimer_->cancel();
    return;
  }
  echoTimer_->expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(*due)));
  // Runs on microphoneQueue_.
  echoTimer_->async_wait([this](const std::error_code& error) {
    if (error) {
      return;  // re-armed or cancelled
    }
    echoTimerDue_.reset();
    echo_->pump(steadyNanoseconds(), [this](const SampleBuffer& done) { candidate_.append(done); });
    afterEchoStage();
  });
}

void CaptureController::stopCandidate() {
  VELKIN_ASSERT_ON(microphoneQueue_);
  if (echo_) {
    echo_->finish([this](const SampleBuffer& done) { candidate_.append(done); });
    afterEchoStage();
  }
  candidate_.stop();
}

// Each writer's last stop runs on its own delivery queue, behind any sample
// still queued there, so it can never race an append.
asio::awaitable<void> CaptureController::stopWriters() {
  co_await awaitCompletion<bool>([this](std::function<void(bool)> done) {
    audioQueue_.async([this, done] {
      interviewer_.stop();
      done(true);
    });
  });
  co_await awaitCompletion<bool>([this](std::function<void(bool)> done) {
    microphoneQueue_.async([this, done] {
      stopCandidate();
      done(true);
    });
  });
}

asio::awaitable<void> CaptureController::stop() {
  if (stream_) {
    CaptureStream& stream = *stream_;
    // A failed stop changes nothing for the caller: the writers are stopped anyway.
    (void)co_await awaitCompletion<std::optional<Error>>(
        [&stream](CaptureStream::Completion done) { stream.stopCapture(std::move(done)); });
  }
  co_await stopWriters();
}

void CaptureController::stopWritersFromHostThread(std::chrono::steady_clock::time_point deadline) {
  const auto stopOn = [deadline](SerialQueue& queue, std::function<void()> stop) {
    if (queue.isCurrent()) {
      stop();
      return;
    }
    // Shared with the job, which may outlive this wait when a write stalls.
    auto done = std::make_shared<std::promise<void>>();
    queue.async([stop, done] {
      stop();
      done->set_value();
    });
    (void)done->get_future().wait_until(deadline);
  };
  stopOn(audioQueue_, [this] { interviewer_.stop(); });
  stopOn(microphoneQueue_, [this] { stopCandidate(); });
}

void CaptureController::streamDidStop(CaptureStream&, const Error& error) {
  writeStandardError("Velkin capture stopped: " + error.description() + "\n");
  // The last segments get their chance to close and be marked, within one
  // bound for everything, whatever the disk does; a finish still pending at
  // the end leaves its segment unmarked.
  const auto deadline = std::chrono::steady_clock::now() + kFinishGrace;
  stopWritersFromHostThread(deadline);
  (void)waitForPendingFinishes(std::chrono::duration_cast<std::chrono::milliseconds>(std::max(
      deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{})));
  exitProcess_(1);
}

bool CaptureController::waitForPendingFinishes(std::chrono::milliseconds timeout) {
  return finishes_->waitUntilIdle(timeout);
}

}  // namespace velkin
