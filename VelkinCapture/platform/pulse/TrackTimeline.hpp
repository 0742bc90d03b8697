#pragma once

#include <cstdint>
#include <optional>

namespace velkin::pulse {

// Where one track's frames go on the call's timeline.
//
// Both tracks count frames from the same capture start on CLOCK_MONOTONIC: a
// frame's presentation time is its position on that timeline, and a track's
// position only ever grows by the frames it delivers, audio or silence. So the
// files the frames end up in can never close up over lost time, and a position
// is a time of the call.
//
// Audio is placed by the time the server says it was captured, not by when it
// reached us. When audio arrives that could follow a gap (the first of a
// connection, audio after a pause in arrivals, and every few seconds anyway) we
// ask the server for the stream's timing (its write index and the audio still
// inside the source) and hold the audio until the reply. The reply comes after
// every byte the server had sent before it, so it dates all audio we are holding
// without any extrapolation:
//
//   capture time of stream frame i = reply time - source latency - (write index - i)
//
// Audio that keeps arriving at the fragment's pace between such replies was
// captured in one piece with the audio before it and follows it directly. Arrival
// times only decide when to ask; whether a pause was a gap or latency is the
// server's timing's to say.
//
// Audio the server buffered and sent late (a burst after a stall of ours) has a
// write index far ahead of it and dates early: that is latency, and it follows the
// audio before it. When the source itself produced nothing for a while (it was
// suspended, its device went away, the sink rendered ahead of our connection),
// the write index stood still and the audio dates late: that stretch becomes
// silence of the same length, before the audio. Audio that dates earlier than the
// track's position (a source clock running faster than the monotonic clock) is
// never dropped or moved earlier: it follows on directly (and a source clock
// that runs steadily fast or slow is resampled onto this one; see ClockDrift). The one exception is
// a change of device, where the old device's stream is kept until the new one's first audio is
// dated: audio of the new device that dates before the track's position was already delivered from
// the old one, and is dropped.
//
// A track need not wait for its audio to resume to be brought up to date: when a
// source has gone quiet for a while, a timing reply that shows nothing captured
// beyond what we have read says the call had no audio on that track up to the
// reply (less what sits in the device), and that much is filled at once. A track
// without any device is filled up to the present.
//
// A monitor's audio is dated by when its sink mixed it, not by when the mix will
// be heard: virtual sources built on a monitor (a remapped microphone, an echo
// canceller) do not report the sink's latency, and counting it for one track
// only would shift the tracks apart by it.
//
// Pure arithmetic in frames; the caller reads the clocks.
struct StreamTiming {
  int64_t atFrame = 0;        // when the server answered, in frames since capture start
  int64_t writeIndex = 0;     // frames the server has written into the stream so far
  int64_t sourceLatency = 0;  // frames captured but still inside the source
};

class TrackTimeline {
 public:
  // Gaps up to `tolerance` frames are taken for jitter of the timing replies,
  // except before the first audio of a connection (see startConnection).
  explicit TrackTimeline(int64_t tolerance) : tolerance_(tolerance) {}

  // The presentation time, in frames, of the next frame delivered.
  int64_t position() const { return position_; }

  // The next audio is the first of a new server stream (the first of the track,
  // or after a reconnection): any time between the track's position and it is a
  // real gap, however short.
  // `replacing`: it takes over from a stream on another device that has
  // delivered up to about its first audio (see silenceBefore).
  void startConnection(bool replacing = false) {
    exact_ = true;
    replacing_ = replacing;
  }

  // The next audio must be dated, since any gap before it is real (see above).
  bool startsExactly() const { return exact_; }

  // The timeline frame at which the stream's frame `index` was captured, by
  // `timing` (taken after that frame arrived).
  static int64_t capturedAt(int64_t index, const StreamTiming& timing) {
    return timing.atFrame - timing.sourceLatency - (timing.writeIndex - index);
  }
  // Frames of silence to deliver before audio whose first frame is the stream's
  // frame `index`, dated by `timing`. Negative only for the first audio of a
  // replacing connection: that many of its frames were already delivered from
  // the device it replaces, and are to be dropped. `held`: frames owed to the
  // track for audio taken in but not yet delivered (a resampler's filter).
  int64_t silenceBefore(int64_t index, const StreamTiming& timing, int64_t held = 0);

  // Frames of silence that bring the track up to `frame` when no audio can come
  // for that stretch (no device, a suspended source). After such a fill, any gap
  // before the next audio is real, however short.
  int64_t silenceUntil(int64_t frame);

  // `frames` frames were delivered at position().
  void advance(int64_t frames) { position_ += frames; }

 private:
  int64_t tolerance_;
  int64_t position_ = 0;
  bool exact_ = true;
  bool replacing_ = false;
};

// When to ask the server for a track's timing. Pure: the caller reads the clocks
// (CLOCK_MONOTONIC nanoseconds) and keeps the facts.
struct DatingPolicy {
  // Audio arriving this much later than the audio before it may follow a gap: it
  // waits for the server's timing. Longer than the server's fragment, so that
  // audio arriving at the fragment's pace follows on directly.
  int64_t pauseNanoseconds = 0;
  // Even audio that keeps coming is dated this often, so that a source clock
  // slower than ours, or frames its device lost, turn into silence in good time.
  int64_t redateNanoseconds = 0;
  // A track with a connection that has read nothing for this long is checked
  // (see quietUntil); a track without one is filled with silence this often.
  int64_t quietNanoseconds = 0;
};

struct ArrivalFacts {
  int64_t now = 0;
  int64_t previousArrival = 0;  // 0: the first audio of the connection
  int64_t lastRequest = 0;      // when timing was last asked for
  bool requestOut = false;      // a request is out: audio waits for its reply, in order
  bool startsExactly = false;   // TrackTimeline::startsExactly
};

// Whether audio just read must wait for the server's timing before it is placed;
// otherwise it follows the audio before it directly.
bool mustDate(const DatingPolicy& policy, const ArrivalFacts& facts);

// The reply to a check of a quiet source (`timing`, when the track holds nothing
// undated and has read `readFrames` of the stream): when the source has captured
// nothing we have not read (suspended, stalled, or a sink that rendered ahead
// before we came), whatever it captures next is captured after the reply, less
// what sits in the device. Up to that frame, less `margin` (so that resumed audio
// is never already covered), the call had no audio on the track. Nothing when the
// server has written more than we have read: that audio is on its way, latency
// and not a gap.
std::optional<int64_t> quietUntil(const StreamTiming& timing, int64_t readFrames, int64_t margin);

// When a quiet-track check is next due, for a track `attached` to a device that
// last read audio, or was last checked, at `quietSince`; a detached track is due
// a fill every quietNanoseconds from `now`. Nothing for a track that is not wanted.
std::optional<int64_t> nextQuietCheck(const DatingPolicy& policy, bool wanted, bool attached,
                                      int64_t quietSince, int64_t now);

}  // namespace velkin::pulse
