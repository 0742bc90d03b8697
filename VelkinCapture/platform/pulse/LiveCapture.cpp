#include "platform/pulse/LiveCapture.hpp"

#include <algorithm>

namespace velkin::pulse {

namespace {

// The fragment asked of the server: how much audio each wake-up brings. It also
// delays audio by up to this much on its way to the files.
constexpr pa_usec_t fragmentUsec = 100'000;
// The buffers delivered: 20 ms each, whatever sizes arrive.
constexpr pa_usec_t bufferUsec = 20'000;
// Buffers travel to a delivery queue at least this much audio at a time: waking
// a queue's thread costs more than everything it then does with the audio. With
// the fragment, it bounds how late a segment's last audio reaches its file.
constexpr pa_usec_t batchUsec = 200'000;
constexpr DatingPolicy datingPolicy{
    .pauseNanoseconds = int64_t(fragmentUsec + 150'000) * 1000,
    .redateNanoseconds = 2'000'000'000,
    .quietNanoseconds = int64_t(2 * fragmentUsec) * 1000,
};
// Silence for a quiet track stops this far short of where audio could resume, so
// that the resumed audio is never already covered; the rest is filled once it is
// dated.
constexpr pa_usec_t fillMarginUsec = 20'000;
// How long a stop waits for the fragment under way. The parent is promised an
// exit within 0.6 s of its stop file, and the agent may take 0.5 s to see it.
// On a server that hands audio on a fragment at a time (PipeWire's quantum), the
// audio of the stop's moment can be up to a fragment away; waiting that long
// would break the promise. What the wait can miss lies after the stop file,
// unless the agent saw the file within a fragment of its creation.
constexpr pa_usec_t stopWaitUsec = 50'000;
// A device that refuses this many connections in a row ends the stream.
constexpr int refusalsBeforeFailure = 3;

int64_t framesOf(pa_usec_t usec, uint32_t rate) {
  return int64_t(usec) * rate / 1'000'000;
}
uint32_t rateOf(const StreamConfiguration& configuration) {
  return uint32_t(std::max(configuration.sampleRate, 0));
}
uint32_t channelsOf(const StreamConfiguration& configuration) {
  return uint32_t(std::max(configuration.channelCount, 0));
}
// Timing replies jitter by up to a fragment (a source or sink hands audio on a
// fragment at a time); a gap is anything longer.
int64_t toleranceFramesOf(const StreamConfiguration& configuration) {
  return std::max<int64_t>(1, framesOf(fragmentUsec, rateOf(configuration)));
}
int64_t bufferFramesOf(const StreamConfiguration& configuration) {
  return std::max<int64_t>(1, framesOf(bufferUsec, rateOf(configuration)));
}
int64_t batchFramesOf(const StreamConfiguration& configuration) {
  return bufferFramesOf(configuration) * int64_t(batchUsec / bufferUsec);
}

}  // namespace

LiveCapture::LiveCapture(const StreamConfiguration& configuration,
                         std::shared_ptr<Delivery> delivery,
                         std::function<void(const Error&)> failed)
    : configuration_(configuration),
      delivery_(std::move(delivery)),
      failed_(std::move(failed)),
      system_(OutputType::audio, "call audio", rateOf(configuration), channelsOf(configuration),
              datingPolicy, toleranceFramesOf(configuration), bufferFramesOf(configuration),
              batchFramesOf(configuration), *this),
      microphone_(OutputType::microphone, "microphone", rateOf(configuration),
                  channelsOf(configuration), datingPolicy, toleranceFramesOf(configuration),
                  bufferFramesOf(configuration), batchFramesOf(configuration), *this) {}

void LiveCapture::want(bool system, bool microphone) {
  system_.wanted = system;
  microphone_.wanted = microphone;
}

std::optional<Error> LiveCapture::start(PulseConnection& connection, DeviceFollower& follower,
                                        const DeviceTargets& targets) {
  VELKIN_ASSERT_MAINLOOP_LOCKED(connection.mainloop());
  connection_ = &connection;
  follower_ = &follower;
  pa_context* context = connection.context();
  pa_threaded_mainloop* mainloop = connection.mainloop();
  finishing_ = false;
  startNanoseconds_ = monotonicNanoseconds();
  for (RecordTrack* track : {&system_, &microphone_}) {
    track->restart(startNanoseconds_);
  }
  if (microphone_.wanted && !microphone_.open(mainloop, context, targets.microphone,
                                              targets.microphoneMaster, fragmentUsec)) {
    return serverError(connection.lastError(),
                       "Could not record from the microphone \"" + targets.microphone + "\"");
  }
  // With no output device at all the call audio track starts detached, as silence,
  // and picks up the first sink that appears.
  if (system_.wanted && !targets.callAudio.empty() &&
      !system_.open(mainloop, context, targets.callAudio, "", fragmentUsec)) {
    return serverError(connection.lastError(),
                       "Could not record from \"" + targets.callAudio + "\"");
  }
  const auto settled = [](const RecordTrack& track) {
    return !track.attached() || pa_stream_get_state(track.stream()) != PA_STREAM_CREATING;
  };
  const PulseConnection::Wait wait =
      connection.waitUntil([&] { return settled(system_) && settled(microphone_); });
  if (wait != PulseConnection::Wait::done) {
    return connection.waitError(wait, "the request to record");
  }
  for (RecordTrack* track : {&microphone_, &system_}) {
    if (track->attached() && !track->ready()) {
      return serverError(
          connection.lastError(),
          std::string("Could not record the ") + track->label + " from \"" + track->device + "\"");
    }
  }

  live_ = true;
  quietTimer_ = pa_context_rttime_new(context, PA_USEC_INVALID, &LiveCapture::onQuietTimer, this);
  armQuietTimer();
  if (delivery_->routes[size_t(OutputType::screen)].output != nullptr) {
    const double seconds = configuration_.minimumFrameInterval.seconds();
    const double clamped = seconds >= 0.001 && seconds <= 3600 ? seconds : 1.0 / 60;
    screenInterval_ = pa_usec_t(clamped * 1'000'000);
    screenEpoch_ = pa_rtclock_now();
    postScreenFrame();
    screenTimer_ = pa_context_rttime_new(context, screenEpoch_ + screenInterval_,
                                         &LiveCapture::onScreenTimer, this);
  }
  // Audio may have arrived between READY and now.
  for (RecordTrack* track : {&system_, &microphone_}) {
    if (!track->pending.empty() && !track->requestTiming(false)) {
      placePending(*track, std::nullopt);
    }
  }
  // A device may have changed since the start asked.
  follower.request();
  return std::nullopt;
}

void LiveCapture::follow(const DeviceTargets& targets) {
  if (!live_) {
    return;
  }
  // The microphone first: the call audio must not follow into the microphone's
  // own feed when a virtual microphone records a monitor.
  if (microphone_.wanted) {
    retarget(microphone_, targets.microphone, targets.microphoneMaster);
  }
  if (system_.wanted) {
    retarget(system_, targets.callAudio, "");
  }
}

void LiveCapture::finish() {
  if (!live_) {
    return;
  }
  VELKIN_ASSERT_MAINLOOP_LOCKED(connection_->mainloop());
  finishing_ = true;
  const int64_t now = monotonicNanoseconds();
  // Tracks with audio under way: their sources hand it on a fragment at a time.
  const auto flowing = [&](const RecordTrack& track) {
    return track.ready() && track.lastArrival != 0 &&
           now - track.quietSince() < datingPolicy.quietNanoseconds;
  };
  const bool systemFlows = flowing(system_);
  const bool microphoneFlows = flowing(microphone_);
  for (RecordTrack* track : {&system_, &microphone_}) {
    if (track->ready()) {
      track->read();
      // Also brings a quiet track, or one without audio yet, up to what its
      // source has captured; the fragment under way is no stretch without audio.
      track->requestTiming(!(track == &system_ ? systemFlows : microphoneFlows));
    }
  }
  // The replies come after every byte sent before them. A server that does not
  // answer in time leaves the tracks where they are.
  connection_->waitUntil(
      [&] { return !system_.timingRequested() && !microphone_.timingRequested(); });
  // A track with audio waits, briefly, for the fragment that holds the stop, so
  // that it ends no earlier than the call's time.
  const auto reachedStop = [&](const RecordTrack& track, bool flows) {
    return !flows || !track.ready() ||
           track.timeline.position() + int64_t(track.pending.size() / track.frameBytes) >=
               track.framesAt(now);
  };
  connection_->waitUntil(
      [&] {
        return reachedStop(system_, systemFlows) && reachedStop(microphone_, microphoneFlows);
      },
      stopWaitUsec);
  for (RecordTrack* track : {&system_, &microphone_}) {
    if (!track->wanted) {
      continue;
    }
    placePending(*track, std::nullopt);
    // Without a device, or still connecting to one, nothing more can come.
    if (!track->ready()) {
      fillUntil(*track, track->framesAt(monotonicNanoseconds()));
    }
    post(*track, true);
  }
  live_ = false;
}

void LiveCapture::end() {
  if (connection_ == nullptr) {
    return;
  }
  VELKIN_ASSERT_MAINLOOP_LOCKED(connection_->mainloop());
  live_ = false;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection_->mainloop());
  for (pa_time_event** event : {&quietTimer_, &screenTimer_}) {
    if (*event != nullptr) {
      api->time_free(*event);
      *event = nullptr;
    }
  }
  for (RecordTrack* track : {&system_, &microphone_}) {
    track->close();
    track->batcher.reset(0);
  }
  connection_ = nullptr;
  follower_ = nullptr;
}

void LiveCapture::fail(const Error& error) {
  if (!live_) {
    return;
  }
  for (RecordTrack* track : {&system_, &microphone_}) {
    placePending(*track, std::nullopt);
    post(*track, true);
  }
  live_ = false;
  failed_(error);
}

// Places what the track has read right after what came before, and drops the
// connection.
void LiveCapture::closeTrack(RecordTrack& track) {
  if (live_) {
    track.read();
    placePending(track, std::nullopt);
  }
  track.close();
}

// Places the whole frames read so far: after the silence that `timing` shows
// before them, or right after what came before when there is no timing.
void LiveCapture::placePending(RecordTrack& track, const std::optional<StreamTiming>& timing) {
  const size_t whole = track.pending.size() / track.frameBytes * track.frameBytes;
  if (!live_ || whole == 0) {
    return;
  }
  if (timing) {
    const int64_t index =
        (track.readBytes - int64_t(track.pending.size())) / int64_t(track.frameBytes);
    placeSilence(track, track.timeline.silenceBefore(index, *timing));
  }
  track.batcher.addAudio(std::span(track.pending.data(), whole));
  track.timeline.advance(int64_t(whole / track.frameBytes));
  track.pending.erase(track.pending.begin(), track.pending.begin() + std::ptrdiff_t(whole));
  post(track, false);
}

void LiveCapture::placeSilence(RecordTrack& track, int64_t frames) {
  // A batch at a time, so that a long stretch never sits in memory at once.
  while (live_ && frames > 0) {
    const int64_t piece = std::min(frames, track.batcher.batchFrames());
    track.batcher.addSilence(piece);
    track.timeline.advance(piece);
    post(track, false);
    frames -= piece;
  }
}

void LiveCapture::fillUntil(RecordTrack& track, int64_t frame) {
  placeSilence(track, track.timeline.silenceUntil(frame));
}

void LiveCapture::post(RecordTrack& track, bool all) {
  if (!live_) {
    return;
  }
  if (std::optional<AudioBatcher::Batch> batch = track.batcher.take(all)) {
    Delivery::postAudio(delivery_, track.type, batch->position, track.format,
                        track.batcher.bufferBytes(), std::move(batch->data));
  }
}

// Points a track at `device` (none: detached, silence until a device comes).
void LiveCapture::retarget(RecordTrack& track, const std::string& device,
                           const std::string& masterDevice) {
  if ((track.attached() && track.device == device) || (!track.attached() && device.empty())) {
    return;
  }
  // The stretch until the new device's first audio is filled once that audio is
  // dated (or by the quiet timer, while detached).
  closeTrack(track);
  if (!device.empty() && !track.open(connection_->mainloop(), connection_->context(), device,
                                     masterDevice, fragmentUsec)) {
    streamEnded(track);
  }
  armQuietTimer();
}

// Arms the quiet timer for the first track due a check, or disarms it: while
// both tracks have audio it never fires.
void LiveCapture::armQuietTimer() {
  if (quietTimer_ == nullptr) {
    return;
  }
  const int64_t now = monotonicNanoseconds();
  std::optional<int64_t> due;
  for (const RecordTrack* track : {&system_, &microphone_}) {
    const std::optional<int64_t> next = nextQuietCheck(datingPolicy, track->wanted && live_,
                                                       track->attached(), track->quietSince(), now);
    if (next && (!due || *next < *due)) {
      due = next;
    }
  }
  pa_context_rttime_restart(connection_->context(), quietTimer_,
                            due ? pa_usec_t(*due / 1000) : PA_USEC_INVALID);
}

void LiveCapture::postScreenFrame() {
  const int64_t nanoseconds = monotonicNanoseconds() - startNanoseconds_;
  Delivery::postEmpty(delivery_, OutputType::screen, MediaTime::make(nanoseconds, 1'000'000'000));
}

void LiveCapture::audioRead(RecordTrack& track) {
  // Finish places the last audio itself, and may be waiting for it.
  if (finishing_) {
    connection_->signal();
  }
  if (!live_ || finishing_ || track.pending.empty()) {
    return;
  }
  const ArrivalFacts facts{track.lastArrival, track.previousArrival, track.lastRequest,
                           track.timingRequested(), track.timeline.startsExactly()};
  if (!mustDate(datingPolicy, facts) || !track.requestTiming(false)) {
    placePending(track, std::nullopt);
  }
  armQuietTimer();
}

void LiveCapture::timingArrived(RecordTrack& track, const std::optional<StreamTiming>& timing,
                                bool quietCheck) {
  placePending(track, timing);
  if (quietCheck && timing && track.pending.empty()) {
    const std::optional<int64_t> until = quietUntil(
        *timing, track.readBytes / int64_t(track.frameBytes), framesOf(fillMarginUsec, track.rate));
    if (until) {
      fillUntil(track, *until);
    }
  }
  armQuietTimer();
}

// A track's connection failed while the server is still there: its device went
// away (DONT_MOVE streams are ended, not moved) or refused us.
void LiveCapture::streamEnded(RecordTrack& track) {
  if (!live_ || !connection_->isGood()) {
    return;  // the context's own failure is reported instead
  }
  const int code = connection_->lastError();
  const std::string device = track.device;
  const bool refused = !track.ready();
  closeTrack(track);
  if (refused && ++track.refusals >= refusalsBeforeFailure) {
    fail(serverError(code, std::string("Could not record the ") + track.label +
                               (device.empty() ? "" : " from \"" + device + "\"")));
    return;
  }
  armQuietTimer();
  follower_->request();
}

// Runs on the libpulse thread, while a track has had no audio for a while: a
// detached track is filled up to the present, a quiet one is checked.
void LiveCapture::onQuietTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
  auto& self = *static_cast<LiveCapture*>(userdata);
  VELKIN_ASSERT_LIBPULSE_THREAD(self.connection_->mainloop());
  if (!self.live_) {
    return;
  }
  const int64_t now = monotonicNanoseconds();
  for (RecordTrack* track : {&self.system_, &self.microphone_}) {
    if (!track->wanted) {
      continue;
    }
    if (!track->attached()) {
      self.fillUntil(*track, track->framesAt(now) - framesOf(fillMarginUsec, track->rate));
    } else if (now - track->quietSince() >= datingPolicy.quietNanoseconds) {
      track->requestTiming(true);
    }
  }
  self.armQuietTimer();
}

// Runs on the libpulse thread, once per minimum frame interval.
void LiveCapture::onScreenTimer(pa_mainloop_api*, pa_time_event* event, const timeval*,
                                void* userdata) {
  auto& self = *static_cast<LiveCapture*>(userdata);
  VELKIN_ASSERT_LIBPULSE_THREAD(self.connection_->mainloop());
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

}  // namespace velkin::pulse
