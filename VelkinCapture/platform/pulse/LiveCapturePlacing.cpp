#include <algorithm>

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
void LiveCapture::placePending(RecordTrack& track, const std::optional<StreamTiming>& timing) {
  const size_t whole = track.pending.size() / track.frameBytes * track.frameBytes;
  if (!live_ || whole == 0) {
    return;
  }
  size_t dropped = 0;
  if (timing) {
    const int64_t index =
        (track.readBytes - int64_t(track.pending.size())) / int64_t(track.frameBytes);
    const int64_t silence = track.timeline.silenceBefore(index, *timing);
    placeSilence(track, silence);
    // Already delivered from the device this connection replaced.
    dropped = std::min(whole, size_t(std::max<int64_t>(-silence, 0)) * track.frameBytes);
  }
  track.batcher.addAudio(std::span(track.pending.data() + dropped, whole - dropped));
  track.timeline.advance(int64_t((whole - dropped) / track.frameBytes));
  track.pending.erase(track.pending.begin(), track.pending.begin() + std::ptrdiff_t(whole));
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

}  // namespace velkin::pulse
