#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velkin::pulse {

// A track's audio placed on the timeline and not yet delivered. Whatever sizes the
// server sends, it is handed out in batches of whole buffers on the track's grid
// (every buffer but the track's last starts at a multiple of the buffer length),
// so that files cut on that grid get exact lengths. A batch is one delivery: one
// wake-up of the output's queue for many buffers. Pure; owned by one thread.
class AudioBatcher {
 public:
  struct Batch {
    int64_t position = 0;  // timeline position of its first frame
    std::vector<std::byte> data;
  };

  // Batches hold at least `batchFrames` (a multiple of `bufferFrames`) until the
  // final flush.
  AudioBatcher(size_t frameBytes, int64_t bufferFrames, int64_t batchFrames)
      : frameBytes_(frameBytes), bufferFrames_(bufferFrames), batchFrames_(batchFrames) {}

  // Empties it; the next frame added is at `position`.
  void reset(int64_t position) {
    held_.clear();
    position_ = position;
  }
  void addAudio(std::span<const std::byte> bytes) {
    held_.insert(held_.end(), bytes.begin(), bytes.end());
  }
  void addSilence(int64_t frames) { held_.resize(held_.size() + size_t(frames) * frameBytes_); }

  int64_t heldFrames() const { return int64_t(held_.size() / frameBytes_); }
  int64_t batchFrames() const { return batchFrames_; }

  enum class Take {
    batch,  // the whole buffers held, once they make a batch
    whole,  // the whole buffers held, however few: the other track's batch went
    all,    // everything held (the last buffer may be shorter): the end of the track
  };
  std::optional<Batch> take(Take what);

 private:
  size_t frameBytes_;
  int64_t bufferFrames_;
  int64_t batchFrames_;
  int64_t position_ = 0;
  std::vector<std::byte> held_;
};

}  // namespace velkin::pulse
