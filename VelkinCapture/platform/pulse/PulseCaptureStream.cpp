// The capture stream on PulseAudio's client library.
//
// Threads:
// - the libpulse thread ("velkin.pulse", the connection's threaded main loop) reads
//   the record streams, dates the audio, follows device changes and posts copies
//   of every buffer to the delivery queues. It never blocks on them and never
//   runs the caller's code.
// - the control queue ("velkin.pulse.ctl") runs start, stop and the report of a
//   failure one at a time; it may block on the server and on the delivery queues,
//   and it calls the completion handlers and the delegate.
// - the delivery queues (the caller's) run the outputs.
//
// What the two audio tracks record:
// - the audio output records the monitor of the default sink, connected by name
//   with PA_STREAM_DONT_MOVE. "@DEFAULT_MONITOR@" is resolved once, at connect
//   time, so it would not follow a new default sink; and a movable stream whose
//   sink goes away is moved by the server to the default source, the microphone.
//   With DONT_MOVE the server ends the stream instead, and we reconnect to the
//   monitor of whatever sink is then the default.
// - the microphone output records the default source, which must not be a
//   monitor; it follows a new default source in the same way.
// Between a device lost and the next one (or with no device at all) a track is
// detached and its stretch becomes silence, so the tracks stay true to the call's
// time. How audio is dated is in TrackTimeline.hpp.

#include "platform/pulse/PulseCaptureStream.hpp"

#include <pulse/pulseaudio.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/pulse/PulseConnection.hpp"
#include "platform/pulse/TrackTimeline.hpp"

namespace velkin::pulse {

namespace {

// Buffers of 20 ms, about 50 a second: the record fragment asked of the server
// (without PA_STREAM_ADJUST_LATENCY it sends what the source buffers, up to 2 s
// at once), and the size of every buffer delivered, whatever sizes arrive.
constexpr pa_usec_t fragmentUsec = 20'000;
// Buffers travel to a delivery queue this many at a time: waking a queue's thread
// for every buffer cost more than everything that thread then does with it. It
// holds a track's audio back by at most this many buffers.
constexpr size_t buffersPerDelivery = 5;
// Audio that arrives more than this long after the audio before it is dated by
// the server before it is placed; so is the first audio of a connection, and the
// audio after a stretch filled with silence. Audio that keeps coming at the
// fragment's pace follows directly: it was captured in one piece with the audio
// before it, and a round trip to the server for every fragment cost as much as
// reading the audio itself.
constexpr pa_usec_t arrivalPauseUsec = 30'000;
// Even audio that keeps coming is dated this often, so that a source clock slower
// than ours, or frames its device lost, still turn into silence in good time.
constexpr pa_usec_t redateUsec = 1'000'000;
// How often tracks that have had no audio (no device, a suspended or stalled
// source) are brought up to the present with silence.
constexpr pa_usec_t tickUsec = 100'000;
// Such silence stops this far short of where audio could resume, so that the
// resumed audio is never already covered; the rest is filled once it is dated.
constexpr pa_usec_t fillMarginUsec = 20'000;
// A device that refuses this many connections in a row ends the stream.
constexpr int refusalsBeforeFailure = 3;

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

Error streamError(long code, std::string message) {
  return Error{errorDomain, code, std::move(message)};
}

// The outputs and their queues. Shared by the stream and every posted delivery, so
// that a delivery still queued when the stream goes away finds it and does nothing.
class Delivery {
 public:
  struct Route {
    StreamOutput* output = nullptr;
    SerialQueue* queue = nullptr;
  };

  explicit Delivery(CaptureStream& stream) : stream_(stream) {}

  // Indexed by output type. Written only before capture starts, under the stream's
  // apiLock_; read-only once capture has started.
  std::array<Route, 3> routes;
  // Cleared when the stream is being destroyed.
  std::atomic<bool> alive{true};

  // Any thread. Queues a frame without data or format (what the screen output
  // delivers) for the output of `type`.
  static void postEmpty(const std::shared_ptr<Delivery>& self, OutputType type, MediaTime time) {
    const Route& route = self->routes[static_cast<size_t>(type)];
    if (route.output == nullptr) {
      return;
    }
    // Runs on the route's queue.
    route.queue->async([self, type, time] {
      if (!self->alive.load(std::memory_order_acquire)) {
        return;
      }
      const SampleBuffer sample(true, time, nullptr, {});
      self->routes[static_cast<size_t>(type)].output->stream(self->stream_, sample, type);
    });
  }

  // Any thread. Queues consecutive audio `data` (now owned by the job), whose first
  // frame is at `position` of a timeline at `rate`, as buffers of `bufferBytes`
  // each (the last one may be shorter), one job for all of them.
  static void postAudio(const std::shared_ptr<Delivery>& self, OutputType type, int64_t position,
                        int32_t rate, size_t frameBytes, size_t bufferBytes,
                        const FormatDescription& format, std::vector<std::byte> data) {
    const Route& route = self->routes[static_cast<size_t>(type)];
    if (route.output == nullptr || data.empty()) {
      return;
    }
    // Runs on the route's queue.
    route.queue->async(
        [self, type, position, rate, frameBytes, bufferBytes, format, data = std::move(data)] {
          const std::span<const std::byte> all(data);
          for (size_t offset = 0; offset < all.size(); offset += bufferBytes) {
            // Checked before every buffer: a stream being destroyed delivers no more.
            if (!self->alive.load(std::memory_order_acquire)) {
              return;
            }
            const size_t size = std::min(bufferBytes, all.size() - offset);
            const MediaTime time = MediaTime::make(position + int64_t(offset / frameBytes), rate);
            const SampleBuffer sample(true, time, &format, all.subspan(offset, size));
            self->routes[static_cast<size_t>(type)].output->stream(self->stream_, sample, type);
          }
        });
  }

 private:
  CaptureStream& stream_;
};

// Counts down the delivery queues that have run everything posted before it.
struct Fence {
  std::mutex lock;  // guards remaining
  std::condition_variable changed;
  size_t remaining = 0;
};

class PulseStream;

// One audio track: its output type, the current server stream and what has been
// read but not yet delivered. Guarded by the main loop lock.
struct Track {
  PulseStream* owner = nullptr;
  OutputType type = OutputType::audio;
  const char* label = "";
  bool wanted = false;  // the configuration asks for it and an output takes it

  uint32_t rate = 0;
  size_t frameBytes = 0;
  int64_t fragmentFrames = 0;
  FormatDescription format;
  TrackTimeline timeline{0};

  pa_stream* stream = nullptr;  // the current connection; none while detached
  std::string device;           // the source it records
  std::string masterDevice;     // microphone: the source a virtual one records from
  bool ready = false;           // the connection has reached PA_STREAM_READY
  int refusals = 0;             // connections in a row that failed before becoming ready

  int64_t readBytes = 0;           // stream byte index of the next byte to read
  std::vector<std::byte> pending;  // read, not yet dated; ends at readBytes
  bool readSinceTick = false;
  bool timingRequested = false;
  bool idleCheck = false;         // the request asks whether the source has stalled
  int64_t timingRequestedAt = 0;  // CLOCK_MONOTONIC, ns, of the last request
  int64_t arrivedAt = 0;          // CLOCK_MONOTONIC, ns, of the last audio read; 0: none yet

  // Placed on the timeline, not yet delivered: buffers go out a fragment at a
  // time, whatever sizes the server sends. Ends at timeline.position().
  std::vector<std::byte> outbox;
};

class PulseStream final : public CaptureStream {
 public:
  PulseStream(const StreamConfiguration& configuration, StreamDelegate& delegate);
  ~PulseStream() override;

  std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type,
                                       SerialQueue& queue) override;
  void startCapture(Completion handler) override;
  void stopCapture(Completion handler) override;

 private:
  enum class Phase { idle, starting, started };

  // Control queue.
  std::optional<Error> start();
  std::optional<Error> connect();
  void stop();
  void finishTracks();
  void reportFailure(const Error& error);
  void teardown();
  void awaitDeliveries(bool stopWhenDestroying);

  // libpulse thread, or any thread with the main loop lock held.
  bool openTrack(Track& track, const std::string& device, const std::string& masterDevice);
  void closeTrack(Track& track);
  void readTrack(Track& track);
  void requestTiming(Track& track, bool idleCheck);
  void placePending(Track& track, const std::optional<StreamTiming>& timing);
  void placeAudio(Track& track, std::span<const std::byte> bytes);
  void placeSilence(Track& track, int64_t frames);
  void fillUntil(Track& track, int64_t frame);
  void postOutbox(Track& track, bool all);
  int64_t nowFrame(const Track& track) const;
  void postScreenFrame();
  void requestReconcile();
  void finishReconcile();
  void retarget(Track& track, const std::string& device, const std::string& masterDevice);
  void trackLost(Track& track);
  void fail(const Error& error);
  void signal() const { pa_threaded_mainloop_signal(mainloop_, 0); }

  // libpulse callbacks: all run on the libpulse thread (or, for replies still
  // pending, on the thread tearing the connection down).
  static void onRead(pa_stream* stream, size_t length, void* userdata);
  static void onStreamState(pa_stream* stream, void* userdata);

  static void onTiming(pa_stream* stream, int success, void* userdata);
  static void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                      void* userdata);
  static void onTick(pa_mainloop_api* api, pa_time_event* event, const timeval* time,
                     void* userdata);
  static void onScreenTimer(pa_mainloop_api* api, pa_time_event* event, const timeval* time,
                            void* userdata);

  const StreamConfiguration configuration_;
  StreamDelegate& delegate_;
  const std::shared_ptr<Delivery> delivery_;

  std::mutex apiLock_;  // guards phase_ and, before start, delivery_->routes
  Phase phase_ = Phase::idle;

  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> destroying_{false};
  std::mutex fenceLock_;                // guards activeFence_
  std::shared_ptr<Fence> activeFence_;  // the fence the control queue is waiting on

  // The connection is made and dropped on the control queue (or by the destructor
  // once that queue is idle); the libpulse thread exists only while it does.
  // Everything from here to control_ is guarded by the main loop lock while there
  // is a connection, and owned by the control queue when there is none.
  std::unique_ptr<PulseConnection> connection_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  bool live_ = false;             // buffers are delivered: from start until stop or failure
  bool finishing_ = false;        // stop is collecting the last audio
  int64_t startNanoseconds_ = 0;  // the capture start: position 0 of both tracks
  Track system_;
  Track microphone_;
  pa_time_event* tick_ = nullptr;
  pa_time_event* screenTimer_ = nullptr;
  pa_usec_t screenInterval_ = 0;
  pa_usec_t screenEpoch_ = 0;  // pa_rtclock time of the first screen frame
  int64_t screenFrames_ = 0;
  bool reconciling_ = false;
  bool reconcileAgain_ = false;

  // Declared last: destroyed first, running whatever is still queued while every
  // other member is alive.
  SerialQueue control_{"velkin.pulse.ctl", QualityOfService::userInitiated};
};

PulseStream::PulseStream(const StreamConfiguration& configuration, StreamDelegate& delegate)
    : configuration_(configuration),
      delegate_(delegate),
      delivery_(std::make_shared<Delivery>(*this)) {
  const uint32_t rate = configuration.sampleRate > 0 ? uint32_t(configuration.sampleRate) : 0;
  const uint32_t channels =
      configuration.channelCount > 0 ? uint32_t(configuration.channelCount) : 0;
  for (Track* track : {&system_, &microphone_}) {
    track->owner = this;
    track->rate = rate;
    track->frameBytes = size_t(channels) * sizeof(float);
    track->fragmentFrames = std::max<int64_t>(1, int64_t(rate) * int64_t(fragmentUsec) / 1'000'000);
    track->format =
        FormatDescription(AudioStreamDescription{double(rate), channels, SampleFormat::float32});
    // Timing replies jitter by well under a fragment; a gap is anything longer.
    track->timeline = TrackTimeline(track->fragmentFrames);
  }
  system_.type = OutputType::audio;
  system_.label = "call audio";
  microphone_.type = OutputType::microphone;
  microphone_.label = "microphone";
}

PulseStream::~PulseStream() {
  delivery_->alive.store(false, std::memory_order_release);
  destroying_.store(true);
  {
    std::lock_guard lock(fenceLock_);
    if (activeFence_) {
      { std::lock_guard fenceLock(activeFence_->lock); }
      activeFence_->changed.notify_all();
    }
  }
  if (control_.isCurrent()) {
    teardown();
  } else {
    std::promise<void> torndown;
    // Runs on the control queue, after whatever it is running now.
    control_.async([this, &torndown] {
      teardown();
      torndown.set_value();
    });
    torndown.get_future().wait();
  }
  // A delivery that was already running when `alive` was cleared may still be
  // inside an output.
  awaitDeliveries(false);
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
      phase_ = error ? Phase::idle : Phase::started;
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
  if (destroying_.load()) {
    return streamError(PA_ERR_BADSTATE, "The capture stream is being destroyed");
  }
  // A start that failed before may have left a timeline behind.
  finishing_ = false;
  for (Track* track : {&system_, &microphone_}) {
    track->timeline = TrackTimeline(track->fragmentFrames);
    track->refusals = 0;
  }
  {
    std::lock_guard lock(apiLock_);
    system_.wanted = configuration_.capturesAudio &&
                     delivery_->routes[size_t(OutputType::audio)].output != nullptr;
    microphone_.wanted = configuration_.captureMicrophone &&
                         delivery_->routes[size_t(OutputType::microphone)].output != nullptr;
  }
  for (const Track* track : {&system_, &microphone_}) {
    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, track->rate,
                                    uint8_t(track->frameBytes / sizeof(float))};
    if (track->wanted && (!pa_sample_spec_valid(&sampleSpec) ||
                          track->frameBytes / sizeof(float) > PA_CHANNELS_MAX)) {
      return streamError(PA_ERR_INVALID, "The audio server cannot record " +
                                             std::to_string(configuration_.channelCount) +
                                             " channels at " +
                                             std::to_string(configuration_.sampleRate) + " Hz");
    }
  }
  Result<std::unique_ptr<PulseConnection>> opened = PulseConnection::open("Velkin Capture");
  if (!opened) {
    return opened.error();
  }
  {
    // Assigned under the lock: the libpulse thread's callbacks read it.
    MainloopLock lock(opened.value()->mainloop());
    mainloop_ = opened.value()->mainloop();
    connection_ = std::move(opened.value());
  }
  std::optional<Error> error = connect();
  if (error) {
    teardown();
  }
  return error;
}

// Control queue: finds the devices, connects both tracks and starts delivery.
std::optional<Error> PulseStream::connect() {
  PulseConnection& connection = *connection_;
  pa_context* context = connection.context();
  MainloopLock lock(mainloop_);
  // Runs on the libpulse thread.
  connection.setStateListener([this](pa_context_state_t state) {
    if (!PA_CONTEXT_IS_GOOD(state)) {
      const int code = connection_ ? connection_->lastError() : PA_ERR_CONNECTIONTERMINATED;
      fail(serverError(code, "The audio server connection was lost"));
    }
  });

  const std::optional<ServerFacts> server = awaitQuery<ServerFacts>(
      connection, [&](auto done) { queryServer(context, std::move(done)); });
  if (!server) {
    return serverError(connection.lastError(), "Could not read the audio server's devices");
  }
  std::optional<SourceFacts> microphone;
  if (microphone_.wanted) {
    if (server->defaultSource.empty()) {
      return streamError(PA_ERR_NOENTITY, "No microphone: the audio server has no input device");
    }
    microphone = awaitQuery<SourceFacts>(connection, [&](auto done) {
      querySource(context, server->defaultSource, std::move(done));
    });
    if (!microphone) {
      return streamError(PA_ERR_NOENTITY, "No microphone: the default input device \"" +
                                              server->defaultSource + "\" is gone");
    }
    if (microphone->isMonitor) {
      return streamError(PA_ERR_NOENTITY, "No microphone: the default input device \"" +
                                              microphone->name +
                                              "\" only monitors an output device");
    }
  }
  std::optional<SinkFacts> sink;
  if (system_.wanted && !server->defaultSink.empty()) {
    sink = awaitQuery<SinkFacts>(
        connection, [&](auto done) { querySink(context, server->defaultSink, std::move(done)); });
  }

  // Subscribed before connecting, so that no change during the start is missed.
  pa_context_set_subscribe_callback(context, &PulseStream::onEvent, this);
  if (pa_operation* subscribing = pa_context_subscribe(
          context,
          pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                 PA_SUBSCRIPTION_MASK_SOURCE),
          nullptr, nullptr)) {
    pa_operation_unref(subscribing);
  }

  startNanoseconds_ = monotonicNanoseconds();
  if (microphone && !openTrack(microphone_, microphone->name, microphone->masterDevice)) {
    return serverError(connection.lastError(),
                       "Could not record from the microphone \"" + microphone->name + "\"");
  }
  // With no output device at all the call audio track starts detached, as silence,
  // and picks up the first sink that appears.
  if (sink && !sink->monitorSource.empty() && sink->monitorSource != microphone_.masterDevice &&
      !openTrack(system_, sink->monitorSource, "")) {
    return serverError(connection.lastError(),
                       "Could not record from \"" + sink->monitorSource + "\"");
  }
  const auto settled = [](const Track& track) {
    return track.stream == nullptr || pa_stream_get_state(track.stream) != PA_STREAM_CREATING;
  };
  if (!connection.waitUntil([&] { return settled(system_) && settled(microphone_); })) {
    return serverError(connection.lastError(), "The audio server connection was lost");
  }
  for (Track* track : {&microphone_, &system_}) {
    if (track->stream != nullptr && pa_stream_get_state(track->stream) != PA_STREAM_READY) {
      return serverError(
          connection.lastError(),
          std::string("Could not record the ") + track->label + " from \"" + track->device + "\"");
    }
  }

  live_ = true;
  tick_ = pa_context_rttime_new(context, pa_rtclock_now() + tickUsec, &PulseStream::onTick, this);
  if (delivery_->routes[size_t(OutputType::screen)].output != nullptr) {
    const double seconds = configuration_.minimumFrameInterval.seconds();
    const double clamped = seconds >= 0.001 && seconds <= 3600 ? seconds : 1.0 / 60;
    screenInterval_ = pa_usec_t(clamped * 1'000'000);
    screenEpoch_ = pa_rtclock_now();
    postScreenFrame();
    screenTimer_ = pa_context_rttime_new(context, screenEpoch_ + screenInterval_,
                                         &PulseStream::onScreenTimer, this);
  }
  // Audio may have arrived between READY and now.
  for (Track* track : {&system_, &microphone_}) {
    if (!track->pending.empty()) {
      requestTiming(*track, false);
    }
  }
  requestReconcile();
  return std::nullopt;
}

void PulseStream::stop() {
  if (connection_) {
    MainloopLock lock(mainloop_);
    if (live_) {
      finishTracks();
    }
  }
  teardown();
  awaitDeliveries(true);
}

// Control queue, main loop lock held: delivers the audio the server has captured
// up to now, then ends both tracks at the same moment of the call.
void PulseStream::finishTracks() {
  finishing_ = true;
  for (Track* track : {&system_, &microphone_}) {
    if (track->stream != nullptr && track->ready) {
      readTrack(*track);
      // Also brings a stalled track up to what its source has captured.
      requestTiming(*track, true);
    }
  }
  // The replies come after every byte sent before them.
  connection_->waitUntil([&] { return !system_.timingRequested && !microphone_.timingRequested; });
  for (Track* track : {&system_, &microphone_}) {
    if (!track->wanted) {
      continue;
    }
    placePending(*track, std::nullopt);
    // Without a device, or still connecting to one, nothing more can come.
    if (track->stream == nullptr || !track->ready) {
      fillUntil(*track, nowFrame(*track));
    }
    postOutbox(*track, true);
  }
  live_ = false;
}

// Control queue.
void PulseStream::reportFailure(const Error& error) {
  teardown();
  awaitDeliveries(true);
  {
    std::lock_guard lock(apiLock_);
    phase_ = Phase::started;  // not restartable
  }
  // Once a stop has been asked for, the caller is ending the capture anyway.
  if (!stopRequested_.load() && !destroying_.load()) {
    delegate_.streamDidStop(*this, error);
  }
}

// Control queue, or the destructor once that queue is idle. Idempotent.
void PulseStream::teardown() {
  std::unique_ptr<PulseConnection> connection;
  if (!connection_) {
    return;
  }
  {
    MainloopLock lock(mainloop_);
    live_ = false;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    for (pa_time_event** event : {&tick_, &screenTimer_}) {
      if (*event != nullptr) {
        api->time_free(*event);
        *event = nullptr;
      }
    }
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    for (Track* track : {&system_, &microphone_}) {
      closeTrack(*track);
      track->pending.clear();
      track->outbox.clear();
    }
    connection_->setStateListener(nullptr);
    connection = std::move(connection_);
  }
  // Joins the libpulse thread; replies still pending run here and find no
  // connection and nothing live.
  connection.reset();
  mainloop_ = nullptr;
}

// Control queue, or the destructor: returns once every queue with an output has
// run everything posted to it before. The calling queue, if it is one of them, is
// skipped: nothing of it runs meanwhile anyway.
void PulseStream::awaitDeliveries(bool stopWhenDestroying) {
  std::vector<SerialQueue*> queues;
  for (const Delivery::Route& route : delivery_->routes) {
    if (route.queue != nullptr && !route.queue->isCurrent() &&
        std::find(queues.begin(), queues.end(), route.queue) == queues.end()) {
      queues.push_back(route.queue);
    }
  }
  auto fence = std::make_shared<Fence>();
  fence->remaining = queues.size();
  {
    std::lock_guard lock(fenceLock_);
    activeFence_ = fence;
  }
  for (SerialQueue* queue : queues) {
    // Runs on that queue.
    queue->async([fence] {
      std::lock_guard lock(fence->lock);
      --fence->remaining;
      fence->changed.notify_all();
    });
  }
  {
    std::unique_lock lock(fence->lock);
    fence->changed.wait(
        lock, [&] { return fence->remaining == 0 || (stopWhenDestroying && destroying_.load()); });
  }
  std::lock_guard lock(fenceLock_);
  activeFence_.reset();
}

bool PulseStream::openTrack(Track& track, const std::string& device,
                            const std::string& masterDevice) {
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, track.rate,
                                  uint8_t(track.frameBytes / sizeof(float))};
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, track.label);
  // Not "phone": desktops cork or duck other streams while a phone stream runs.
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  pa_stream* stream = pa_stream_new_with_proplist(connection_->context(), track.label, &sampleSpec,
                                                  nullptr, properties);
  pa_proplist_free(properties);
  if (stream == nullptr) {
    return false;
  }
  pa_stream_set_state_callback(stream, &PulseStream::onStreamState, &track);
  pa_stream_set_read_callback(stream, &PulseStream::onRead, &track);

  pa_buffer_attr attributes{};
  attributes.maxlength = uint32_t(-1);
  attributes.tlength = uint32_t(-1);
  attributes.prebuf = uint32_t(-1);
  attributes.minreq = uint32_t(-1);
  attributes.fragsize = uint32_t(pa_usec_to_bytes(fragmentUsec, &sampleSpec));
  const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, device.c_str(), &attributes, flags) < 0) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_unref(stream);
    return false;
  }
  track.stream = stream;
  track.device = device;
  track.masterDevice = masterDevice;
  track.ready = false;
  track.readBytes = 0;
  track.pending.clear();
  track.readSinceTick = true;
  track.timingRequested = false;
  track.arrivedAt = 0;
  track.timeline.startConnection();
  return true;
}

// Places what the track has read right after what came before, and drops the
// connection. The reply to a timing request still outstanding finds another
// stream, or none, and is ignored.
void PulseStream::closeTrack(Track& track) {
  if (track.stream == nullptr) {
    return;
  }
  if (live_ && PA_STREAM_IS_GOOD(pa_stream_get_state(track.stream))) {
    readTrack(track);
  }
  if (live_) {
    placePending(track, std::nullopt);
  }
  track.pending.clear();
  pa_stream_set_state_callback(track.stream, nullptr, nullptr);
  pa_stream_set_read_callback(track.stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(track.stream))) {
    pa_stream_disconnect(track.stream);
  }
  pa_stream_unref(track.stream);
  track.stream = nullptr;
  track.device.clear();
  track.masterDevice.clear();
  track.ready = false;
  track.timingRequested = false;
  track.idleCheck = false;
}

// Takes everything the client holds for the track, holes as silence of their
// length.
void PulseStream::readTrack(Track& track) {
  const void* data = nullptr;
  size_t length = 0;
  while (track.stream != nullptr && pa_stream_peek(track.stream, &data, &length) == 0 &&
         length > 0) {
    const auto* bytes = static_cast<const std::byte*>(data);
    if (bytes != nullptr) {
      track.pending.insert(track.pending.end(), bytes, bytes + length);
    } else {
      // A hole the server reports in the stream: what it lacks, as silence.
      track.pending.resize(track.pending.size() + length, std::byte{0});
    }
    track.readBytes += int64_t(length);
    track.readSinceTick = true;
    pa_stream_drop(track.stream);
  }
}

// `idleCheck`: the reply also fills the stretch the source has let pass without
// audio (see onTiming).
void PulseStream::requestTiming(Track& track, bool idleCheck) {
  if (idleCheck) {
    track.idleCheck = true;
  }
  if (track.timingRequested || track.stream == nullptr) {
    return;
  }
  pa_operation* operation =
      pa_stream_update_timing_info(track.stream, &PulseStream::onTiming, &track);
  if (operation == nullptr) {
    placePending(track, std::nullopt);
    return;
  }
  pa_operation_unref(operation);
  track.timingRequested = true;
  track.timingRequestedAt = monotonicNanoseconds();
}

// Places the whole frames read so far: after the silence that `timing` shows
// before them, or right after what came before when there is no timing.
void PulseStream::placePending(Track& track, const std::optional<StreamTiming>& timing) {
  const size_t whole = track.pending.size() / track.frameBytes * track.frameBytes;
  if (!live_ || whole == 0) {
    return;
  }
  if (timing) {
    const int64_t index =
        (track.readBytes - int64_t(track.pending.size())) / int64_t(track.frameBytes);
    placeSilence(track, track.timeline.silenceBefore(index, *timing));
  }
  placeAudio(track, std::span(track.pending.data(), whole));
  track.pending.erase(track.pending.begin(), track.pending.begin() + std::ptrdiff_t(whole));
}

void PulseStream::placeAudio(Track& track, std::span<const std::byte> bytes) {
  track.outbox.insert(track.outbox.end(), bytes.begin(), bytes.end());
  track.timeline.advance(int64_t(bytes.size() / track.frameBytes));
  postOutbox(track, false);
}

void PulseStream::placeSilence(Track& track, int64_t frames) {
  // A fragment at a time, so that a long stretch never sits in memory at once.
  while (live_ && frames > 0) {
    const int64_t piece = std::min(frames, track.fragmentFrames);
    track.outbox.resize(track.outbox.size() + size_t(piece) * track.frameBytes, std::byte{0});
    track.timeline.advance(piece);
    postOutbox(track, false);
    frames -= piece;
  }
}

void PulseStream::fillUntil(Track& track, int64_t frame) {
  placeSilence(track, track.timeline.silenceUntil(frame));
}

// Posts the outbox a fragment per buffer, once it holds buffersPerDelivery of
// them; `all` posts whatever it holds, the shorter rest too, at the end of the
// track.
void PulseStream::postOutbox(Track& track, bool all) {
  const size_t fragmentBytes = size_t(track.fragmentFrames) * track.frameBytes;
  if (!live_ || track.outbox.empty() ||
      (!all && track.outbox.size() < fragmentBytes * buffersPerDelivery)) {
    return;
  }
  const int64_t position =
      track.timeline.position() - int64_t(track.outbox.size() / track.frameBytes);
  const size_t size =
      all ? track.outbox.size() : track.outbox.size() / fragmentBytes * fragmentBytes;
  std::vector<std::byte> rest(track.outbox.begin() + std::ptrdiff_t(size), track.outbox.end());
  track.outbox.resize(size);
  std::vector<std::byte> data = std::exchange(track.outbox, std::move(rest));
  Delivery::postAudio(delivery_, track.type, position, int32_t(track.rate), track.frameBytes,
                      fragmentBytes, track.format, std::move(data));
}

int64_t PulseStream::nowFrame(const Track& track) const {
  const int64_t micros = (monotonicNanoseconds() - startNanoseconds_) / 1000;
  return micros * int64_t(track.rate) / 1'000'000;
}

void PulseStream::postScreenFrame() {
  const int64_t nanoseconds = monotonicNanoseconds() - startNanoseconds_;
  Delivery::postEmpty(delivery_, OutputType::screen, MediaTime::make(nanoseconds, 1'000'000'000));
}

// Asks the server for its defaults, then points each track at its device.
// Requests that come while one is in progress are folded into one more round.
void PulseStream::requestReconcile() {
  if (!live_) {
    return;
  }
  if (reconciling_) {
    reconcileAgain_ = true;
    return;
  }
  reconciling_ = true;
  struct Plan {
    ServerFacts server;
    std::optional<SinkFacts> sink;
  };
  pa_context* context = connection_->context();
  // Each step runs on the libpulse thread.
  queryServer(context, [this, context](std::optional<ServerFacts> server) {
    if (!live_ || !server) {
      finishReconcile();
      return;
    }
    auto plan = std::make_shared<Plan>(Plan{std::move(*server), std::nullopt});
    querySink(context, plan->server.defaultSink,
              [this, context, plan](std::optional<SinkFacts> sink) {
                if (!live_) {
                  finishReconcile();
                  return;
                }
                plan->sink = std::move(sink);
                querySource(context, plan->server.defaultSource,
                            [this, plan](std::optional<SourceFacts> source) {
                              if (!live_) {
                                finishReconcile();
                                return;
                              }
                              // The microphone first: the call audio must not follow into the
                              // microphone's own feed when a virtual microphone records a monitor.
                              if (microphone_.wanted) {
                                if (source && !source->isMonitor) {
                                  retarget(microphone_, source->name, source->masterDevice);
                                } else {
                                  retarget(microphone_, "", "");
                                }
                              }
                              if (system_.wanted) {
                                std::string monitor = plan->sink ? plan->sink->monitorSource : "";
                                if (!monitor.empty() && monitor == microphone_.masterDevice) {
                                  monitor.clear();
                                }
                                retarget(system_, monitor, "");
                              }
                              finishReconcile();
                            });
              });
  });
}

void PulseStream::finishReconcile() {
  reconciling_ = false;
  if (reconcileAgain_) {
    reconcileAgain_ = false;
    requestReconcile();
  }
}

// Points a track at `device` (none: detached, silence until a device comes).
void PulseStream::retarget(Track& track, const std::string& device,
                           const std::string& masterDevice) {
  if (track.stream != nullptr && track.device == device) {
    return;
  }
  if (track.stream == nullptr && device.empty()) {
    return;
  }
  // The stretch until the new device's first audio is filled once that audio is
  // dated (or by the tick, while detached).
  closeTrack(track);
  if (!device.empty() && !openTrack(track, device, masterDevice)) {
    trackLost(track);
  }
}

// A track's connection failed while the server is still there: its device went
// away (DONT_MOVE streams are ended, not moved) or refused us.
void PulseStream::trackLost(Track& track) {
  if (!live_ || !connection_->isGood()) {
    return;  // the context's own failure is reported instead
  }
  const int code = connection_->lastError();
  const std::string device = track.device;
  const bool refused = track.stream == nullptr || !track.ready;
  closeTrack(track);
  if (refused && ++track.refusals >= refusalsBeforeFailure) {
    fail(serverError(code, std::string("Could not record the ") + track.label +
                               (device.empty() ? "" : " from \"" + device + "\"")));
    return;
  }
  requestReconcile();
}

// libpulse thread: the server is gone or a track cannot record. Delivers what was
// read, stops delivery, and has the control queue tell the delegate.
void PulseStream::fail(const Error& error) {
  if (!live_) {
    return;
  }
  for (Track* track : {&system_, &microphone_}) {
    placePending(*track, std::nullopt);
    postOutbox(*track, true);
  }
  live_ = false;
  // Runs on the control queue.
  control_.async([this, error] { reportFailure(error); });
}

// libpulse thread: audio has arrived for the track.
void PulseStream::onRead(pa_stream* stream, size_t, void* userdata) {
  Track& track = *static_cast<Track*>(userdata);
  PulseStream& self = *track.owner;
  if (stream != track.stream) {
    return;
  }
  const int64_t before = track.readBytes;
  self.readTrack(track);
  if (track.readBytes == before) {
    return;
  }
  const int64_t now = monotonicNanoseconds();
  const int64_t previous = std::exchange(track.arrivedAt, now);
  // Stop places the last audio itself.
  if (!self.live_ || self.finishing_ || track.pending.empty()) {
    return;
  }
  // While a request is out, what arrives waits for its reply, in order.
  const bool dated =
      track.timingRequested || previous == 0 || now - previous > int64_t(arrivalPauseUsec) * 1000 ||
      now - track.timingRequestedAt > int64_t(redateUsec) * 1000 || track.timeline.startsExactly();
  if (dated) {
    self.requestTiming(track, false);
  } else {
    self.placePending(track, std::nullopt);
  }
}

// libpulse thread.
void PulseStream::onStreamState(pa_stream* stream, void* userdata) {
  Track& track = *static_cast<Track*>(userdata);
  PulseStream& self = *track.owner;
  self.signal();
  if (stream != track.stream) {
    return;
  }
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      track.ready = true;
      track.refusals = 0;
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      self.trackLost(track);
      break;
    default:
      break;
  }
}

// libpulse thread (or, with the connection going, the thread tearing it down,
// where it finds no stream of its own): the server's timing snapshot is in.
void PulseStream::onTiming(pa_stream* stream, int success, void* userdata) {
  Track& track = *static_cast<Track*>(userdata);
  PulseStream& self = *track.owner;
  if (stream != track.stream || !track.timingRequested) {
    return;  // a connection since replaced, or the connection is being torn down
  }
  track.timingRequested = false;
  const bool idleCheck = std::exchange(track.idleCheck, false);
  self.signal();
  const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
  std::optional<StreamTiming> timing;
  if (info != nullptr && !info->write_index_corrupt) {
    // The server took its snapshot between our request and its reply; the
    // request is the earliest it can have been. Dating by that bound can only
    // make a gap look shorter, never make one up: when this thread is held up
    // (a busy machine), the reply is read late, and a guess from the time it
    // was read would turn the delay into silence that shifts the whole track.
    const int64_t sinceStart = (track.timingRequestedAt - self.startNanoseconds_) / 1000;
    timing = StreamTiming{sinceStart * int64_t(track.rate) / 1'000'000,
                          info->write_index / int64_t(track.frameBytes),
                          int64_t(info->source_usec) * int64_t(track.rate) / 1'000'000};
  }
  self.placePending(track, timing);
  // The source has captured nothing we have not read (suspended, stalled, or a
  // sink that rendered ahead before we came): whatever it captures next is
  // captured after the reply, less what sits in the device. Up to there the call
  // had no audio on this track. Had the server written more than we have read,
  // that audio would still be on its way: latency, not a gap.
  if (idleCheck && timing && track.pending.empty() && info->write_index <= track.readBytes) {
    const int64_t margin = int64_t(fillMarginUsec) * int64_t(track.rate) / 1'000'000;
    self.fillUntil(track, timing->atFrame - timing->sourceLatency - margin);
  }
}

// libpulse thread: something changed on the server.
void PulseStream::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t,
                          void* userdata) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // A new default is a server change; devices matter when they come or go (their
  // own changes are volume and the like).
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
      ((facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
       kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
    static_cast<PulseStream*>(userdata)->requestReconcile();
  }
}

// libpulse thread, every tickUsec.
void PulseStream::onTick(pa_mainloop_api*, pa_time_event* event, const timeval*, void* userdata) {
  auto& self = *static_cast<PulseStream*>(userdata);
  if (!self.live_) {
    return;
  }
  for (Track* track : {&self.system_, &self.microphone_}) {
    if (!track->wanted) {
      continue;
    }
    if (track->stream == nullptr) {
      const int64_t margin = int64_t(fillMarginUsec) * int64_t(track->rate) / 1'000'000;
      self.fillUntil(*track, self.nowFrame(*track) - margin);
    } else if (!track->readSinceTick) {
      self.requestTiming(*track, true);
    }
    track->readSinceTick = false;
  }
  pa_context_rttime_restart(self.connection_->context(), event, pa_rtclock_now() + tickUsec);
}

// libpulse thread, once per minimum frame interval.
void PulseStream::onScreenTimer(pa_mainloop_api*, pa_time_event* event, const timeval*,
                                void* userdata) {
  auto& self = *static_cast<PulseStream*>(userdata);
  if (!self.live_) {
    return;
  }
  self.postScreenFrame();
  ++self.screenFrames_;
  // On a fixed grid, without catching up on frames missed while asleep.
  pa_usec_t next = self.screenEpoch_ + pa_usec_t(self.screenFrames_ + 1) * self.screenInterval_;
  const pa_usec_t now = pa_rtclock_now();
  if (next <= now) {
    self.screenFrames_ = int64_t((now - self.screenEpoch_) / self.screenInterval_);
    next = self.screenEpoch_ + pa_usec_t(self.screenFrames_ + 1) * self.screenInterval_;
  }
  pa_context_rttime_restart(self.connection_->context(), event, next);
}

}  // namespace

std::unique_ptr<CaptureStream> makeCaptureStream(const StreamConfiguration& configuration,
                                                 StreamDelegate& delegate) {
  return std::make_unique<PulseStream>(configuration, delegate);
}

}  // namespace velkin::pulse
