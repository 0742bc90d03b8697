#include "platform/pulse/TrackTimeline.hpp"

namespace velkin::pulse {

int64_t TrackTimeline::silenceBefore(int64_t index, const StreamTiming& timing) {
  const int64_t captured = timing.atFrame - timing.sourceLatency - (timing.writeIndex - index);
  const int64_t gap = captured - position_;
  const int64_t threshold = exact_ ? 0 : tolerance_;
  exact_ = false;
  return gap > threshold ? gap : 0;
}

int64_t TrackTimeline::silenceUntil(int64_t frame) {
  if (frame <= position_) {
    return 0;
  }
  exact_ = true;
  return frame - position_;
}

}  // namespace velkin::pulse
