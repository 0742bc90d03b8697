#include "platform/pulse/AudioBatcher.hpp"

#include <utility>

namespace velkin::pulse {

std::optional<AudioBatcher::Batch> AudioBatcher::take(Take what) {
  const int64_t held = heldFrames();
  const int64_t frames = what == Take::all ? held : held / bufferFrames_ * bufferFrames_;
  if (frames == 0 || (what == Take::batch && held < batchFrames_)) {
    return std::nullopt;
  }
  const auto size = std::ptrdiff_t(size_t(frames) * frameBytes_);
  Batch batch{position_, {}};
  if (size == std::ptrdiff_t(held_.size())) {
    batch.data = std::exchange(held_, {});
  } else {
    batch.data.assign(held_.begin(), held_.begin() + size);
    held_.erase(held_.begin(), held_.begin() + size);
  }
  position_ += frames;
  return batch;
}

}  // namespace velkin::pulse
