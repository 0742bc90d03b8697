#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>

#include "platform/pulse/ClockDrift.hpp"
#include "platform/pulse/ReadPace.hpp"
#include "platform/pulse/TrackTimeline.hpp"

// What the live capture asks of the server and promises its callers: shared by
// the files of LiveCapture.
namespace velkin::pulse::tuning {

// The fragment asked of the server: how much audio each wake-up brings. It also
// delays audio by up to this much on its way to the files.
inline constexpr pa_usec_t fragmentUsec = 100'000;
// The buffers delivered: 20 ms each, whatever sizes arrive.
inline constexpr pa_usec_t bufferUsec = 20'000;
// Buffers travel to a delivery queue once the libpulse thread has read what
// came (see onIdle), at least this much audio at a time: waking a queue's thread
// costs more than everything it then does with the audio. Both tracks travel
// together, once both hold this much, or one a fragment more (see batchDue).
// With the fragment and the read pause, it bounds how late a segment's last
// audio reaches its file: about 0.75 s.
inline constexpr pa_usec_t batchUsec = 400'000;
// The libpulse thread lets audio queue for up to this long between reads (see
// ReadPace), each track in its own socket: a fragment and a half at most.
inline constexpr pa_usec_t maxReadPauseUsec = 150'000;
// A track without audio for this long reads without pause (see pauseMs).
inline constexpr int64_t quietPauseNanoseconds = int64_t(fragmentUsec + fragmentUsec / 2) * 1000;
// A read pause ends this long before a track is due to be dated again (see
// pauseMs): more than a late wake-up of a busy machine, less than the tolerance
// of the timeline for a late date.
inline constexpr int64_t redateMarginNanoseconds = 20'000'000;
inline constexpr ReadPace::Limits readPaceLimits{
    .maxPauseUsec = maxReadPauseUsec,
    .budgetBytes = 80 * 1024,
    .pieceOverheadBytes = 2048,
    .windowNanoseconds = 100'000'000,
};
inline constexpr DatingPolicy datingPolicy{
    .pauseNanoseconds = int64_t(fragmentUsec + maxReadPauseUsec + 150'000) * 1000,
    .redateNanoseconds = 4'000'000'000,
    .quietNanoseconds = int64_t(2 * fragmentUsec + maxReadPauseUsec) * 1000,
};
// Silence for a quiet track stops this far short of where audio could resume, so
// that the resumed audio is never already covered; the rest is filled once it is
// dated.
inline constexpr pa_usec_t fillMarginUsec = 20'000;
// How long a stop waits for the fragment under way. The parent is promised an
// exit within 0.6 s of its stop file, and the agent may take 0.5 s to see it.
// On a server that hands audio on a fragment at a time (PipeWire's quantum), the
// audio of the stop's moment can be up to a fragment away; waiting that long
// would break the promise. What the wait can miss lies after the stop file,
// unless the agent saw the file within a fragment of its creation.
inline constexpr pa_usec_t stopWaitUsec = 50'000;
// A track changing device places the new device's audio once it is dated and
// the old device's audio reaches it; at the latest once either holds this much.
inline constexpr pa_usec_t maxOverlapUsec = 300'000;
// A track whose source's clock drifts from the timeline's is resampled (see
// ClockDrift): from a few milliseconds astray, back to its place within about
// ten seconds, by at most 500 ppm more than the drift itself. Up to 5000 ppm is
// corrected: ten times what a cheap crystal is off by.
inline constexpr double maxDriftPpm = 5000;
// A timing reply without the server's own stamp dates audio by when it was
// asked for (see RecordTrack): one that took longer than this to come (a busy
// server or machine) may make audio look captured earlier by as much, and says
// nothing of the source's clock.
inline constexpr int64_t promptReplyNanoseconds = 4'000'000;
inline constexpr ClockDrift::Limits driftLimits(uint32_t rate) {
  return {
      .maxPpm = maxDriftPpm,
      .pullPpm = 500,
      .pullFrames = int64_t(rate) * 10,
      .strayFrames = int64_t(rate) * 5 / 1000,
      // What a dating of a steady source strays by at least: a source that
      // hands audio on in pieces shows more, and its estimate takes longer.
      .noiseFloorFrames = int64_t(rate) / 4000,
      .minPoints = 4,
      // About four minutes of datings: a clock that wanders with the
      // temperature is followed.
      .maxPoints = 64,
  };
}
// A device that refuses this many connections in a row ends the stream.
inline constexpr int refusalsBeforeFailure = 3;

inline int64_t framesOf(pa_usec_t usec, uint32_t rate) {
  return int64_t(usec) * rate / 1'000'000;
}

}  // namespace velkin::pulse::tuning
