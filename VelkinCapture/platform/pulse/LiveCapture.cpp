#include "platform/pulse/LiveCapture.hpp"

#include <time.h>

#include <algorithm>

#include "platform/pulse/LiveCaptureTuning.hpp"

namespace velkin::pulse {

using namespace tuning;

namespace {

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

// The timeline frame at which the server took the timing snapshot of `track`
// just received. The track dates its audio by the request, the earliest the
// snapshot can have been taken (see RecordTrack): right for finding gaps, but a
// busy server answers late, which would read as a clock that jumps. The
// server's own stamp says when (on the same machine, the system's clock); when
// it has none, a prompt answer dates closely enough. Nothing otherwise.
std::optional<int64_t> snapshotFrame(const RecordTrack& track) {
  const pa_timing_info* info =
      track.stream() != nullptr ? pa_stream_get_timing_info(track.stream()) : nullptr;
  const int64_t now = monotonicNanoseconds();
  if (info != nullptr && info->synchronized_clocks) {
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    const int64_t age = (int64_t(real.tv_sec) - int64_t(info->timestamp.tv_sec)) * 1'000'000'000 +
                        (int64_t(real.tv_nsec) - int64_t(info->timestamp.tv_usec) * 1000);
    if (age >= 0 && age < 1'000'000'000) {
      return track.framesAt(now - age);
    }
  }
  if (now - track.lastRequest <= promptReplyNanoseconds) {
    return track.framesAt(track.lastRequest);
  }
  return std::nullopt;
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
                  bufferFramesOf(configuration), batchFramesOf(configuration), *this),
      systemDrift_(driftLimits(rateOf(configuration)), channelsOf(configuration),
                   rateOf(configuration)),
      microphoneDrift_(driftLimits(rateOf(configuration)), channelsOf(configuration),
                       rateOf(configuration)),
      paces_{ReadPace(readPaceLimits), ReadPace(readPaceLimits)} {}

void LiveCapture::want(bool system, bool microphone) {
  system_.wanted = system;
  microphone_.wanted = microphone;
}

std::optional<Error> LiveCapture::start(PulseConnection& connection, DeviceFollower& follower,
                                        const DeviceTargets& targets) {
  VELKIN_ASSERT_MAINLOOP_LOCKED(connection.mainloop());
  connection_ = &connection;
  follower_ = &follower;
  PulseLoop* mainloop = connection.mainloop();
  mainloop->setPause([this] { return pauseMs(); });
  mainloop->setIdle([this] { onIdle(); });
  finishing_ = false;
  for (ReadPace& pace : paces_) {
    pace.reset();
  }
  startNanoseconds_ = monotonicNanoseconds();
  for (RecordTrack* track : {&system_, &microphone_}) {
    track->restart(startNanoseconds_);
    Drift& drift = driftOf(*track);
    drift.clock.restart();
    drift.resampler.stop(drift.resampled);
    drift.resampled.clear();
  }
  if (microphone_.wanted && !microphone_.open(mainloop, contextOf(microphone_), targets.microphone,
                                              targets.microphoneMaster, fragmentUsec)) {
    return serverError(connection.audioError(indexOf(microphone_)),
                       "Could not record from the microphone \"" + targets.microphone + "\"");
  }
  // With no output device at all the call audio track starts detached, as silence,
  // and picks up the first sink that appears.
  if (system_.wanted && !targets.callAudio.empty() &&
      !system_.open(mainloop, contextOf(system_), targets.callAudio, "", fragmentUsec)) {
    return serverError(connection.audioError(indexOf(system_)),
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
          connection.audioError(indexOf(*track)),
          std::string("Could not record the ") + track->label + " from \"" + track->device + "\"");
    }
  }

  live_ = true;
  quietTimer_ = pa_context_rttime_new(connection.context(), PA_USEC_INVALID,
                                      &LiveCapture::onQuietTimer, this);
  armQuietTimer();
  if (delivery_->routes[size_t(OutputType::screen)].output != nullptr) {
    const double seconds = configuration_.minimumFrameInterval.seconds();
    const double clamped = seconds >= 0.001 && seconds <= 3600 ? seconds : 1.0 / 60;
    screenInterval_ = pa_usec_t(clamped * 1'000'000);
    screenTimer_ = pa_context_rttime_new(connection.context(), PA_USEC_INVALID,
                                         &LiveCapture::onScreenTimer, this);
    postScreenFrame();
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
  const auto flows = [&](const RecordTrack& track) {
    return &track == &system_ ? systemFlows : microphoneFlows;
  };
  // A quiet track, or one without audio yet, is brought up to what its source
  // has captured. A track with audio is not dated now: a source that does not
  // report the audio it holds (a monitor) is dated right only by a request that
  // promptly follows its audio, and this moment may lie up to a fragment after
  // it, which would date the audio late and put silence before it.
  for (RecordTrack* track : {&system_, &microphone_}) {
    if (track->ready()) {
      track->read();
      if (!flows(*track)) {
        track->requestTiming(true);
      }
    }
  }
  // The replies come after every byte sent before them. A server that does not
  // answer in time leaves the tracks where they are.
  const auto answered = [&] {
    return !system_.timingRequested() && !microphone_.timingRequested();
  };
  connection_->waitUntil(answered);
  // A track with audio waits, briefly, for the fragment that holds the stop, so
  // that it ends no earlier than the call's time.
  const auto reachedStop = [&](const RecordTrack& track) {
    return !flows(track) || !track.ready() ||
           track.timeline.position() + int64_t(track.pending.size() / track.frameBytes) >=
               track.framesAt(now);
  };
  const int64_t waitedFrom = monotonicNanoseconds();
  connection_->waitUntil([&] { return reachedStop(system_) && reachedStop(microphone_); },
                         stopWaitUsec);
  // Audio that came during the wait is dated at once, as audio is mid-call: a
  // source that stalled just before the stop shows as silence of its length.
  for (RecordTrack* track : {&system_, &microphone_}) {
    if (flows(*track) && track->ready() && track->lastArrival >= waitedFrom) {
      track->requestTiming(false);
    }
  }
  connection_->waitUntil(answered);
  for (RecordTrack* track : {&system_, &microphone_}) {
    if (!track->wanted) {
      continue;
    }
    settleMove(*track, true);
    placePending(*track, std::nullopt);
    // Without a device, or still connecting to one, nothing more can come.
    if (!track->ready()) {
      fillUntil(*track, track->framesAt(monotonicNanoseconds()));
    }
    endResampling(*track);
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
  connection_->mainloop()->setPause(nullptr);
  connection_->mainloop()->setIdle(nullptr);
  pa_mainloop_api* api = connection_->mainloop()->api();
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

// Runs on the libpulse thread: how long the libpulse thread may let audio queue
// between reads. Never while a track awaits an answer of the server (a timing
// reply, its device's connection, its new device's first audio), nor while audio
// that will be dated may come: the first of a connection, audio after a quiet
// stretch, or once the track is due to be dated again; a pause ends just before
// that is due. Sources that do not report the audio they hold (monitors, virtual
// microphones) are dated right only by a request that follows their audio
// promptly (see TrackTimeline): one that follows a pause dates the audio up to
// the pause late, and a late date becomes silence that shifts the track.
int LiveCapture::pauseMs() const {
  if (!live_ || finishing_) {
    return 0;
  }
  const int64_t now = monotonicNanoseconds();
  int64_t pause = std::min(paces_[0].pauseUsec(), paces_[1].pauseUsec()) * 1000;
  for (const RecordTrack* track : {&system_, &microphone_}) {
    if (!track->attached()) {
      continue;
    }
    if (!track->ready() || track->timingRequested() || track->replacing() ||
        track->timeline.startsExactly() || now - track->quietSince() > quietPauseNanoseconds) {
      return 0;
    }
    pause = std::min(
        pause, track->lastRequest + datingPolicy.redateNanoseconds - now - redateMarginNanoseconds);
  }
  return int(std::max<int64_t>(pause, 0) / 1'000'000);
}

void LiveCapture::fail(const Error& error) {
  if (!live_) {
    return;
  }
  for (RecordTrack* track : {&system_, &microphone_}) {
    settleMove(*track, true);
    placePending(*track, std::nullopt);
    endResampling(*track);
    post(*track, true);
  }
  live_ = false;
  failed_(error);
}

// Points a track at `device` (none: detached, silence until a device comes).
void LiveCapture::retarget(RecordTrack& track, const std::string& device,
                           const std::string& masterDevice) {
  if ((track.attached() && track.device == device) || (!track.attached() && device.empty())) {
    return;
  }
  // A track with audio keeps its old device's connection until the new one's
  // audio is dated (settleMove): the change loses nothing that either recorded.
  if (track.ready() && !device.empty() && !finishing_) {
    settleMove(track, true);
    track.read();
    placePending(track, std::nullopt);
    if (track.open(connection_->mainloop(), contextOf(track), device, masterDevice, fragmentUsec,
                   true)) {
      armQuietTimer();
      return;
    }
  }
  move(track, device, masterDevice);
}

void LiveCapture::move(RecordTrack& track, const std::string& device,
                       const std::string& masterDevice) {
  // The stretch until the new device's first audio is filled once that audio is
  // dated (or by the quiet timer, while detached).
  closeTrack(track);
  if (!device.empty() &&
      !track.open(connection_->mainloop(), contextOf(track), device, masterDevice, fragmentUsec)) {
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

// A screen frame goes once the minimum frame interval has passed since the last
// one, with the first read after it, so that it costs no wake-up of its own while
// audio flows; the timer sends it a pause later when nothing is read.
void LiveCapture::postScreenFrame() {
  const int64_t nanoseconds = monotonicNanoseconds() - startNanoseconds_;
  Delivery::postEmpty(delivery_, OutputType::screen, MediaTime::make(nanoseconds, 1'000'000'000));
  nextScreenFrame_ = pa_rtclock_now() + screenInterval_;
  pa_context_rttime_restart(connection_->context(), screenTimer_,
                            nextScreenFrame_ + 2 * maxReadPauseUsec);
}

// Runs on the libpulse thread once it has handled what came and before it sleeps.
void LiveCapture::onIdle() {
  VELKIN_ASSERT_LIBPULSE_THREAD(connection_->mainloop());
  if (!live_ || finishing_) {
    return;
  }
  const int64_t now = monotonicNanoseconds();
  for (const RecordTrack* track : {&system_, &microphone_}) {
    paces_[indexOf(*track)].update(now, track->piecesReceived, track->bytesReceived);
  }
  post(system_, false);
  post(microphone_, false);  // nothing, when the call audio's batch took it along
  if (screenTimer_ != nullptr && pa_rtclock_now() >= nextScreenFrame_) {
    postScreenFrame();
  }
}

void LiveCapture::audioRead(RecordTrack& track) {
  // Finish places the last audio itself, and may be waiting for it.
  if (finishing_) {
    connection_->signal();
  }
  if (!live_ || finishing_ || track.pending.empty()) {
    return;
  }
  if (track.replacing()) {
    // Dated, then placed after the old device's audio.
    settleMove(track, !track.requestTiming(false));
    return;
  }
  const ArrivalFacts facts{track.lastArrival, track.previousArrival, track.lastRequest,
                           track.timingRequested(), track.timeline.startsExactly()};
  if (!mustDate(datingPolicy, facts) || !track.requestTiming(false)) {
    placePending(track, std::nullopt);
  } else {
    // The other track is dated again with it, so that the reads without pause
    // for both come at once (see pauseMs).
    RecordTrack& other = &track == &system_ ? microphone_ : system_;
    if (!other.timingRequested() &&
        track.lastRequest - other.lastRequest > datingPolicy.redateNanoseconds / 2) {
      other.lastRequest = track.lastRequest - datingPolicy.redateNanoseconds;
    }
  }
  armQuietTimer();
}

void LiveCapture::timingArrived(RecordTrack& track, const std::optional<StreamTiming>& timing,
                                bool quietCheck) {
  if (track.replacing() && !track.pending.empty()) {
    track.heldTiming = timing;
    settleMove(track, !timing);
  } else {
    placePending(track, timing, snapshotFrame(track));
  }
  if (quietCheck && timing && track.pending.empty() && !track.replacing()) {
    const std::optional<int64_t> until = quietUntil(
        *timing, track.readBytes / int64_t(track.frameBytes), framesOf(fillMarginUsec, track.rate));
    if (until) {
      fillUntil(track, *until);
    }
  }
  armQuietTimer();
}

void LiveCapture::previousAudio(RecordTrack& track, bool ended) {
  if (live_ && !finishing_) {
    settleMove(track, ended);
  } else if (ended) {
    track.closePrevious();
  }
}

// A track's connection failed while the server is still there: its device went
// away (DONT_MOVE streams are ended, not moved) or refused us.
void LiveCapture::streamEnded(RecordTrack& track) {
  if (!live_ || !connection_->isGood()) {
    return;  // the context's own failure is reported instead
  }
  const int code = connection_->audioError(indexOf(track));
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

// Runs on the libpulse thread, when no read has sent the screen frame due.
void LiveCapture::onScreenTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
  auto& self = *static_cast<LiveCapture*>(userdata);
  VELKIN_ASSERT_LIBPULSE_THREAD(self.connection_->mainloop());
  if (self.live_) {
    self.postScreenFrame();
  }
}

}  // namespace velkin::pulse
