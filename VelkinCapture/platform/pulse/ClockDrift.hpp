#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace velkin::pulse {

// How fast a track's source runs against the timeline's clock (CLOCK_MONOTONIC),
// and the resampling ratio that keeps the track on the timeline.
//
// A microphone on its own crystal (USB, Bluetooth) runs tens to hundreds of ppm
// away from the clock the call audio is placed by. Copied through unchanged, a
// fast one slides ahead of the call for good, and a slow one falls behind until
// the timeline takes the shortfall for a gap and inserts silence. Instead, each
// dating of the track's audio (about every 4 s) gives a point: the stream frame
// and the timeline frame it was captured at. The source's rate is the slope
// through those points, and the track is resampled by it, with a gentle pull
// that brings its audio back to where it lay against its capture at the first
// dating.
//
// The points are noisy: a source that hands audio on in pieces makes a frame
// look captured earlier than it was, by up to a piece. So the slope is the
// median of the slopes between pairs of points (one stray point cannot move
// it), and the noise is the spread of the points about it. (A server that
// answers late would do the same; the caller leaves such datings out.)
//
// A track whose clock agrees with the timeline's within that noise is never
// resampled: its audio stays bit-exact. Resampling starts once the slope is
// clearly not 1 and the track has strayed a few milliseconds from where it
// belongs; it then lasts until the next hole in the track (a suspended source, a
// new device), after which nothing is known of the clock and it starts afresh;
// so does a dating that jumps off the line (audio lost or doubled at once).
// A clock further off than maxPpm is not corrected: the track is copied through
// as before (outOfRange says so).
//
// Pure arithmetic in frames; the caller reads the clocks. One owner.
class ClockDrift {
 public:
  struct Limits {
    double maxPpm = 0;             // the largest drift corrected
    double pullPpm = 0;            // the most the pull back to the timeline adds
    int64_t pullFrames = 0;        // a stray is pulled back over about this many frames
    int64_t strayFrames = 0;       // how far a track strays before resampling starts
    int64_t noiseFloorFrames = 0;  // the least noise a dating is taken to have
    size_t minPoints = 4;          // datings needed before any decision (3 or more)
    size_t maxPoints = 32;         // datings the estimate spans, the latest kept
  };

  explicit ClockDrift(const Limits& limits) : limits_(limits) {}

  // Nothing is known of the source's clock from here on (a hole, a new device).
  void restart();

  // Stream frame `index` was captured at timeline frame `capturedAt`; it is to be
  // placed at `placedAt`. Updates the estimate and the ratio.
  void observe(int64_t index, int64_t capturedAt, int64_t placedAt);

  // Timeline frames to make of each stream frame while the track is resampled;
  // nothing while it is copied through.
  std::optional<double> ratio() const { return ratio_; }
  // The source's clock runs further from the timeline's than can be corrected.
  bool outOfRange() const { return outOfRange_; }
  // The latest estimate of the source's rate against the timeline, in ppm.
  double ppm() const { return ppm_; }

 private:
  struct Point {
    int64_t index = 0;
    int64_t offset = 0;  // capturedAt - index
    int64_t placed = 0;  // placedAt
  };

  // The latest line through the points: where the next dating should lie.
  struct Line {
    double centre = 0;      // the stream frame the line is surest at
    double offset = 0;      // its capturedAt - index there
    double slope = 0;       // offset frames per stream frame
    double slopeError = 0;  // how far the slope may be off
    double tolerance = 0;   // how far a dating may lie from the line by noise
  };

  Limits limits_;
  std::vector<Point> points_;
  std::optional<double> ratio_;
  bool outOfRange_ = false;
  double ppm_ = 0;
  std::optional<Line> line_;
  int64_t firstIndex_ = 0;            // the first dating's since the restart
  std::optional<double> startStray_;  // how far the first dating's audio lay from its capture
};

}  // namespace velkin::pulse
