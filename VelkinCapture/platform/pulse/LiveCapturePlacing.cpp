#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/Console.hpp"
#include "platform/pulse/LiveCapture.hpp"
#include "platform/pulse/LiveCaptureTuning.hpp"

// How the live capture places each track's audio and silence on the timeline and
// hands it to delivery. Libpulse thread, main loop lock held.
namespace velkin::pulse {

using namespace tuning;

// Places what the track has read right after what came before, and drops the
// connection.
void LiveCapture::closeTrack(RecordTrack& track) {
  if (live_) {
    settleMove(track, true);
    track.read();
    placePending(track, std::nullopt);
  }
  track.close();
}

// A track whose new device's connection replaces the old one's: the old device's
// audio is placed up to where the new device's first audio was captured, and the
// new audio after it, once that is dated and the old audio reaches it. `force`:
// at once (the old device's stream ended, or the capture ends); the new audio
// then waits for its timing, or follows on when it has none.
void LiveCapture::settleMove(RecordTrack& track, bool force) {
  if (!track.replacing()) {
    return;
  }
  track.readPrevious();
  const auto frameBytes = int64_t(track.frameBytes);
  const int64_t oldFrames = int64_t(track.previousPending.size()) / frameBytes;
  std::optional<int64_t> newStart;
  if (track.heldTiming) {
    const int64_t index = (track.readBytes - int64_t(track.pending.size())) / frameBytes;
    newStart = TrackTimeline::capturedAt(index, *track.heldTiming);
  }
  const int64_t most = framesOf(maxOverlapUsec, track.rate);
  if (!force && !(newStart && track.timeline.position() + oldFrames >= *newStart) &&
      oldFrames < most && int64_t(track.pending.size()) / frameBytes < most) {
    return;
  }
  // The new device has a clock of its own: resampling starts afresh once known.
  // What the resampler still held comes first, and the old audio kept follows it.
  endResampling(track);
  const int64_t kept =
      newStart ? std::clamp<int64_t>(*newStart - track.timeline.position(), 0, oldFrames)
               : oldFrames;
  if (live_ && kept > 0) {
    track.batcher.addAudio(std::span(track.previousPending.data(), size_t(kept * frameBytes)));
    track.timeline.advance(kept);
  }
  track.closePrevious();
  if (std::optional<StreamTiming> timing = std::exchange(track.heldTiming, std::nullopt)) {
    placePending(track, timing);
  } else if (!track.pending.empty() && !track.requestTiming(false)) {
    placePending(track, std::nullopt);
  }
}

// Places the whole frames read so far: after the silence that `timing` shows
// before them, or right after what came before when there is no timing.
void LiveCapture::placePending(RecordTrack& track, const std::optional<StreamTiming>& timing,
                               std::optional<int64_t> snapshotAt) {
  const size_t whole = track.pending.size() / track.frameBytes * track.frameBytes;
  if (!live_ || whole == 0) {
    return;
  }
  size_t dropped = 0;
  if (timing) {
    const int64_t index =
        (track.readBytes - int64_t(track.pending.size())) / int64_t(track.frameBytes);
    const bool fresh = track.timeline.startsExactly();
    Drift& drift = driftOf(track);
    const int64_t silence = track.timeline.silenceBefore(index, *timing, drift.resampler.held());
    if (fresh || silence != 0) {
      // After a hole or on another device, nothing is known of the clock.
      endResampling(track);
      drift.clock.restart();
    }
    placeSilence(track, silence);
    // Already delivered from the device this connection replaced.
    dropped = std::min(whole, size_t(std::max<int64_t>(-silence, 0)) * track.frameBytes);
    if (silence >= 0 && snapshotAt) {
      dated(track, index, *timing, *snapshotAt);
    }
  }
  placeAudio(track, std::span(track.pending.data() + dropped, whole - dropped));
  track.pending.erase(track.pending.begin(), track.pending.begin() + std::ptrdiff_t(whole));
}

// A dating of audio that follows on: what it says of the source's clock decides
// whether, and by how much, the track is resampled from here.
void LiveCapture::dated(RecordTrack& track, int64_t index, StreamTiming timing,
                        int64_t snapshotAt) {
  Drift& drift = driftOf(track);
  timing.atFrame = snapshotAt;
  drift.clock.observe(index, TrackTimeline::capturedAt(index, timing),
                      track.timeline.position() + drift.resampler.held());
  if (drift.clock.outOfRange() && !std::exchange(warnedOfDrift_, true)) {
    char ppm[32];
    std::snprintf(ppm, sizeof ppm, "%+.0f", drift.clock.ppm());
    writeStandardError(std::string("Velkin capture warning: the ") + track.label + " runs " + ppm +
                       " ppm off the system clock, more than the " +
                       std::to_string(int(maxDriftPpm)) +
                       " ppm that are corrected; its track may drift from the other\n");
  }
  const std::optional<double> ratio = drift.clock.ratio();
  if (!ratio || !drift.resampler.resample(*ratio)) {
    endResampling(track);
  }
}

// Audio that follows what came before: resampled onto the timeline's clock, or
// copied through as it came.
void LiveCapture::placeAudio(RecordTrack& track, std::span<const std::byte> bytes) {
  Drift& drift = driftOf(track);
  if (drift.resampler.active()) {
    drift.resampled.clear();
    const int64_t frames = drift.resampler.process(bytes, drift.resampled);
    track.batcher.addAudio(drift.resampled);
    track.timeline.advance(frames);
    return;
  }
  drift.resampler.copied(bytes);
  track.batcher.addAudio(bytes);
  track.timeline.advance(int64_t(bytes.size() / track.frameBytes));
}

// Hands out what the resampler still holds, right after the audio before it.
void LiveCapture::endResampling(RecordTrack& track) {
  Drift& drift = driftOf(track);
  if (!drift.resampler.active()) {
    return;
  }
  drift.resampled.clear();
  const int64_t frames = drift.resampler.stop(drift.resampled);
  if (live_) {
    track.batcher.addAudio(drift.resampled);
    track.timeline.advance(frames);
  }
}

void LiveCapture::placeSilence(RecordTrack& track, int64_t frames) {
  if (live_ && frames > 0) {
    endResampling(track);
    driftOf(track).clock.restart();
  }
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
  // A fill follows the audio the resampler holds: up to its end, there is
  // nothing to fill, and the track stays resampled.
  if (frame <= track.timeline.position() + driftOf(track).resampler.held()) {
    return;
  }
  endResampling(track);
  placeSilence(track, track.timeline.silenceUntil(frame));
}

// Both tracks go together, so that their queues receive the same stretch of
// the call in the same wake-up (give or take what one source read ahead of the
// other): a track's batch takes the other track's whole buffers with it.
// They go once both hold a batch, not as soon as one does: the first to reach
// a batch would take the other's audio a fragment early, and with it the next
// batch would come that much sooner, waking both queues more often. A track
// that holds a batch and more than a fragment beyond it waits no longer: the
// other is quiet, or not there.
bool LiveCapture::batchDue(const RecordTrack& track) const {
  const int64_t held = track.batcher.heldFrames();
  const int64_t batch = track.batcher.batchFrames();
  const RecordTrack& other = &track == &system_ ? microphone_ : system_;
  return held >= batch && (!other.wanted || other.batcher.heldFrames() >= batch ||
                           held >= batch + framesOf(fragmentUsec, track.rate));
}

void LiveCapture::post(RecordTrack& track, bool all) {
  if (!live_) {
    return;
  }
  if (all) {
    postTaken(track, AudioBatcher::Take::all);
  } else if (batchDue(track)) {
    postTaken(track, AudioBatcher::Take::whole);
    postTaken(&track == &system_ ? microphone_ : system_, AudioBatcher::Take::whole);
  }
}

void LiveCapture::postTaken(RecordTrack& track, AudioBatcher::Take what) {
  if (std::optional<AudioBatcher::Batch> batch = track.batcher.take(what)) {
    Delivery::postAudio(delivery_, track.type, batch->position, track.format,
                        std::move(batch->data));
  }
}

}  // namespace velkin::pulse
