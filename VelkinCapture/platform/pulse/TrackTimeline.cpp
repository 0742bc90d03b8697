#include "platform/pulse/TrackTimeline.hpp"

#include <utility>

namespace velkin::pulse {

int64_t TrackTimeline::silenceBefore(int64_t index, const StreamTiming& timing, int64_t held) {
  const int64_t gap = capturedAt(index, timing) - position_ - held;
  const int64_t threshold = exact_ ? 0 : tolerance_;
  const bool replacing = std::exchange(replacing_, false);
  exact_ = false;
  return gap > threshold || (replacing && gap < 0) ? gap : 0;
}

int64_t TrackTimeline::silenceUntil(int64_t frame) {
  if (frame <= position_) {
    return 0;
  }
  exact_ = true;
  return frame - position_;
}

bool mustDate(const DatingPolicy& policy, const ArrivalFacts& facts) {
  return facts.requestOut || facts.startsExactly || facts.previousArrival == 0 ||
         facts.now - facts.previousArrival > policy.pauseNanoseconds ||
         facts.now - facts.lastRequest > policy.redateNanoseconds;
}

std::optional<int64_t> quietUntil(const StreamTiming& timing, int64_t readFrames, int64_t margin) {
  if (timing.writeIndex > readFrames) {
    return std::nullopt;
  }
  return timing.atFrame - timing.sourceLatency - margin;
}

std::optional<int64_t> nextQuietCheck(const DatingPolicy& policy, bool wanted, bool attached,
                                      int64_t quietSince, int64_t now) {
  if (!wanted) {
    return std::nullopt;
  }
  return (attached ? quietSince : now) + policy.quietNanoseconds;
}

}  // namespace velkin::pulse
