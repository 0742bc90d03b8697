// The capture stream on PulseAudio's client library.
//
// Threads, and the parts each one owns:
// - the caller adds outputs and asks for start and stop (the API lock guards the
//   phase and, before start, the outputs);
// - the control queue ("velkin.pulse.ctl") runs start, stop and the report of a
//   failure one at a time; it makes and drops the connection, may block on the
//   server (never longer than a deadline) and on the delivery queues, and calls
//   the completion handlers and the delegate;
// - the libpulse thread ("velkin.pulse", the connection's threaded main loop)
//   owns the running capture (LiveCapture.hpp: the tracks and timers) and the
//   device follower: it reads the record streams, dates the audio, follows device
//   changes and posts batches of buffers to the delivery queues. It never blocks
//   on them and never runs the caller's code. The control queue touches what it
//   owns only with the main loop lock held, to start and finish the capture;
// - the delivery queues (the caller's) run the outputs (see PulseDelivery.hpp).
//
// What the two audio tracks record:
// - the audio output records the monitor of the default sink, connected by name
//   with PA_STREAM_DONT_MOVE. "@DEFAULT_MONITOR@" is resolved once, at connect
//   time, so it would not follow a new default sink; and a movable stream whose
//   sink goes away is moved by the server to the default source, the microphone.
//   With DONT_MOVE the server ends the stream instead, and we reconnect to the
//   monitor of whatever sink is then the default (see DeviceFollower.hpp).
// - the microphone output records the default source, which must not be a
//   monitor; it follows a new default source in the same way.
// Between a device lost and the next one (or with no device at all) a track is
// detached and its stretch becomes silence, so the tracks stay true to the call's
// time. How audio is dated is in TrackTimeline.hpp.
//
// What it costs: the server sends a track's audio a fragment at a time, and each
// fragment wakes this process. Fragments are long; the buffers delivered are
// short, cut on the timeline, and travel many to one wake-up of their queue. No
// timer runs while both tracks have audio: one is armed only while a track has
// none, to bring it up to date with silence.

#include "platform/pulse/PulseCaptureStream.hpp"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Dispatch.hpp"
#include "platform/pulse/DeviceFollower.hpp"
#include "platform/pulse/LiveCapture.hpp"
#include "platform/pulse/PulseConnection.hpp"
#include "platform/pulse/PulseDelivery.hpp"

namespace velkin::pulse {

namespace {

Error streamError(long code, std::string message) {
  return Error{errorDomain, code, std::move(message)};
}

class PulseStream final : public CaptureStream {
 public:
  PulseStream(const StreamConfiguration& configuration, StreamDelegate& delegate);
  ~PulseStream() override;

  std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type,
                                       SerialQueue& queue) override;
  void startCapture(Completion handler) override;
  void stopCapture(Completion handler) override;

 private:
  // A stream captures once: after a stop or a failure (the delegate has been
  // told) it does not start again.
  enum class Phase { idle, starting, running, failed };

  // Control queue.
  std::optional<Error> start();
  std::optional<Error> connect();
  void stop();
  void reportFailure(const Error& error);
  void teardown();

  const StreamConfiguration configuration_;
  StreamDelegate& delegate_;
  const std::shared_ptr<Delivery> delivery_;

  std::mutex apiLock_;  // guards phase_ and, before start, delivery_->routes
  Phase phase_ = Phase::idle;
  std::atomic<bool> stopRequested_{false};  // any thread
  std::atomic<bool> destroying_{false};     // any thread

  // Control queue: made and dropped there (the libpulse thread exists only while
  // the connection does), assigned with the main loop lock held. The follower
  // outlives the connection, whose end cancels its queries.
  std::unique_ptr<PulseConnection> connection_;
  std::unique_ptr<DeviceFollower> follower_;
  // The libpulse thread's while there is a connection, touched by the control
  // queue with the main loop lock held; the control queue's when there is none.
  LiveCapture live_;

  // Declared last: destroyed first, running whatever is still queued while every
  // other member is alive.
  SerialQueue control_{"velkin.pulse.ctl", QualityOfService::userInitiated};
};

PulseStream::PulseStream(const StreamConfiguration& configuration, StreamDelegate& delegate)
    : configuration_(configuration),
      delegate_(delegate),
      delivery_(std::make_shared<Delivery>(*this)),
      // Runs on the libpulse thread.
      live_(configuration, delivery_, [this](const Error& error) {
        // Runs on the control queue.
        control_.async([this, error] { reportFailure(error); });
      }) {}

PulseStream::~PulseStream() {
  // The header's rule: never from inside a completion handler or the delegate,
  // which run on the control queue this destructor waits for.
  assert(!control_.isCurrent());
  destroying_.store(true);
  delivery_->abandon();
  std::promise<void> torndown;
  // Runs on the control queue, after whatever it is running now.
  control_.async([this, &torndown] {
    teardown();
    torndown.set_value();
  });
  torndown.get_future().wait();
  // A delivery that was already running when it was abandoned may still be
  // inside an output.
  delivery_->drain(false);
}

std::optional<Error> PulseStream::addStreamOutput(StreamOutput& output, OutputType type,
                                                  SerialQueue& queue) {
  const auto index = static_cast<int32_t>(type);
  if (index < 0 || index > 2) {
    return streamError(PA_ERR_NOTSUPPORTED,
                       "Output type " + std::to_string(index) + " is not supported");
  }
  std::lock_guard lock(apiLock_);
  if (phase_ != Phase::idle) {
    return streamError(PA_ERR_BADSTATE, "Outputs must be added before capture starts");
  }
  Delivery::Route& route = delivery_->routes[size_t(index)];
  if (route.output != nullptr) {
    return streamError(PA_ERR_EXIST,
                       "Output type " + std::to_string(index) + " already has an output");
  }
  route = Delivery::Route{&output, &queue};
  return std::nullopt;
}

void PulseStream::startCapture(Completion handler) {
  {
    std::lock_guard lock(apiLock_);
    if (phase_ != Phase::idle) {
      // Runs on the control queue.
      control_.async([handler = std::move(handler)] {
        handler(streamError(PA_ERR_BADSTATE, "Capture has already been started"));
      });
      return;
    }
    phase_ = Phase::starting;
    // A stop asked for before this start concerned no capture.
    stopRequested_.store(false);
  }
  // Runs on the control queue.
  control_.async([this, handler = std::move(handler)] {
    std::optional<Error> error = start();
    {
      std::lock_guard lock(apiLock_);
      phase_ = error ? Phase::idle : Phase::running;
    }
    handler(std::move(error));
  });
}

void PulseStream::stopCapture(Completion handler) {
  stopRequested_.store(true);
  // Runs on the control queue, after a start still in progress.
  control_.async([this, handler = std::move(handler)] {
    stop();
    handler(std::nullopt);
  });
}

std::optional<Error> PulseStream::start() {
  VELKIN_ASSERT_ON(control_);
  if (destroying_.load()) {
    return streamError(PA_ERR_BADSTATE, "The capture stream is being destroyed");
  }
  bool system = false;
  bool microphone = false;
  {
    std::lock_guard lock(apiLock_);
    system = configuration_.capturesAudio &&
             delivery_->routes[size_t(OutputType::audio)].output != nullptr;
    microphone = configuration_.captureMicrophone &&
                 delivery_->routes[size_t(OutputType::microphone)].output != nullptr;
  }
  const uint32_t channels = uint32_t(std::max(configuration_.channelCount, 0));
  const pa_sample_spec sampleSpec{PA_SAMPLE_S16NE, uint32_t(std::max(configuration_.sampleRate, 0)),
                                  uint8_t(std::min<uint32_t>(channels, 255))};
  if ((system || microphone) &&
      (!pa_sample_spec_valid(&sampleSpec) || channels > PA_CHANNELS_MAX)) {
    return streamError(PA_ERR_INVALID, "The audio server cannot record " +
                                           std::to_string(configuration_.channelCount) +
                                           " channels at " +
                                           std::to_string(configuration_.sampleRate) + " Hz");
  }
  Result<std::unique_ptr<PulseConnection>> opened = PulseConnection::open("Velkin Capture");
  if (!opened) {
    return opened.error();
  }
  {
    // From here the running capture is the libpulse thread's.
    MainloopLock lock(opened.value()->mainloop());
    connection_ = std::move(opened.value());
    live_.want(system, microphone);
  }
  std::optional<Error> error = connect();
  if (error) {
    teardown();
  }
  return error;
}

// Control queue: finds the devices, connects both tracks and starts delivery.
std::optional<Error> PulseStream::connect() {
  VELKIN_ASSERT_ON(control_);
  PulseConnection& connection = *connection_;
  pa_context* context = connection.context();
  MainloopLock lock(connection.mainloop());
  // Runs on the libpulse thread.
  connection.setStateListener([this](pa_context_state_t state) {
    if (!PA_CONTEXT_IS_GOOD(state)) {
      live_.fail(serverError(connection_->lastError(), "The audio server connection was lost"));
    }
  });

  const Result<std::optional<ServerFacts>> server =
      awaitQuery<ServerFacts>(connection, "the query for its defaults",
                              [&](auto done) { queryServer(context, std::move(done)); });
  if (!server) {
    return server.error();
  }
  if (!server.value()) {
    return serverError(connection.lastError(), "Could not read the audio server's devices");
  }
  const ServerFacts& defaults = *server.value();
  std::optional<SourceFacts> microphone;
  if (live_.wantsMicrophone()) {
    if (defaults.defaultSource.empty()) {
      return streamError(PA_ERR_NOENTITY, "No microphone: the audio server has no input device");
    }
    Result<std::optional<SourceFacts>> source = awaitQuery<SourceFacts>(
        connection, "the query for its input device",
        [&](auto done) { querySource(context, defaults.defaultSource, std::move(done)); });
    if (!source) {
      return source.error();
    }
    if (!source.value()) {
      return streamError(PA_ERR_NOENTITY, "No microphone: the default input device \"" +
                                              defaults.defaultSource + "\" is gone");
    }
    if (source.value()->isMonitor) {
      return streamError(PA_ERR_NOENTITY, "No microphone: the default input device \"" +
                                              source.value()->name +
                                              "\" only monitors an output device");
    }
    microphone = std::move(source.value());
  }
  std::optional<SinkFacts> sink;
  if (!defaults.defaultSink.empty()) {
    Result<std::optional<SinkFacts>> facts = awaitQuery<SinkFacts>(
        connection, "the query for its output device",
        [&](auto done) { querySink(context, defaults.defaultSink, std::move(done)); });
    if (!facts) {
      return facts.error();
    }
    sink = std::move(facts.value());
  }

  // Subscribed before the tracks connect, so that no change during the start is
  // missed. Without it a new default device would go unnoticed for the whole call.
  follower_ = std::make_unique<DeviceFollower>(
      connection, live_.wantsMicrophone(),
      // Runs on the libpulse thread.
      [this](const DeviceTargets& targets) { live_.follow(targets); });
  if (std::optional<Error> error = follower_->subscribe()) {
    return error;
  }
  return live_.start(connection, *follower_,
                     chooseTargets(sink, microphone, live_.wantsMicrophone()));
}

void PulseStream::stop() {
  VELKIN_ASSERT_ON(control_);
  if (connection_) {
    MainloopLock lock(connection_->mainloop());
    live_.finish();
  }
  teardown();
  delivery_->drain(true);
}

// Control queue.
void PulseStream::reportFailure(const Error& error) {
  VELKIN_ASSERT_ON(control_);
  teardown();
  delivery_->drain(true);
  {
    std::lock_guard lock(apiLock_);
    phase_ = Phase::failed;  // not restartable
  }
  // Once a stop has been asked for, the caller is ending the capture anyway.
  if (!stopRequested_.load() && !destroying_.load()) {
    delegate_.streamDidStop(*this, error);
  }
}

// Control queue. Idempotent.
void PulseStream::teardown() {
  VELKIN_ASSERT_ON(control_);
  if (!connection_) {
    return;
  }
  std::unique_ptr<PulseConnection> connection;
  {
    MainloopLock lock(connection_->mainloop());
    live_.end();
    if (follower_) {
      follower_->stop();
    }
    connection_->setStateListener(nullptr);
    connection = std::move(connection_);
  }
  // Joins the libpulse thread and cancels what was still pending; then nothing
  // can call the follower any more.
  connection.reset();
  follower_.reset();
}

}  // namespace

std::unique_ptr<CaptureStream> makeCaptureStream(const StreamConfiguration& configuration,
                                                 StreamDelegate& delegate) {
  return std::make_unique<PulseStream>(configuration, delegate);
}

}  // namespace velkin::pulse
