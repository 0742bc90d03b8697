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
  // The batch takes the storage; only the part of a buffer left over is copied,
  // into storage as large as the batch's for the audio still to come.
  std::vector<std::byte> rest;
  rest.reserve(held_.capacity());
  rest.assign(held_.begin() + size, held_.end());
  held_.resize(size_t(size));
  batch.data = std::exchange(held_, std::move(rest));
  position_ += frames;
  return batch;
}

}  // namespace velkin::pulse
