#include "platform/pulse/ReadPace.hpp"

#include <algorithm>

namespace velkin::pulse {

void ReadPace::update(int64_t now, int64_t pieces, int64_t bytes) {
  if (since_ >= 0 && now - since_ < limits_.windowNanoseconds) {
    return;
  }
  if (since_ >= 0) {
    const int64_t load = (bytes - bytes_) + (pieces - pieces_) * limits_.pieceOverheadBytes;
    const int64_t fits =
        load > 0 ? limits_.budgetBytes * ((now - since_) / 1000) / load : limits_.maxPauseUsec;
    // Shortens at once; grows back gradually, as the pace is measured again.
    pauseUsec_ =
        std::clamp<int64_t>(fits, 0, std::min(limits_.maxPauseUsec, 2 * pauseUsec_ + 10'000));
  }
  since_ = now;
  pieces_ = pieces;
  bytes_ = bytes;
}

}  // namespace velkin::pulse
