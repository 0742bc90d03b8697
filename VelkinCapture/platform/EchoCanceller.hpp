#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/Error.hpp"
#include "platform/Result.hpp"

namespace velkin {

// Takes what the speakers played (the far end) out of what the microphone heard
// (the near end). Both streams come in 10 ms frames of interleaved float samples
// in [-1, 1], at one rate, frame by frame in timeline order: the far end's frame
// is what was played over the same stretch of the call as the near end's. The
// delay between a sound played and its echo heard is the canceller's to find.
// Used from one thread at a time.
class EchoCanceller {
 public:
  virtual ~EchoCanceller() = default;

  // Frames in each 10 ms frame: the rate / 100.
  virtual int64_t framesPerChunk() const = 0;
  // How many frames later than it went in the near end comes out: the first
  // frames handed back are the canceller's own, and the near end's last ones
  // come out only as more frames follow.
  virtual int64_t latencyFrames() const = 0;

  // `farEnd` holds framesPerChunk() frames of the far end's channels, `nearEnd`
  // as many of the near end's, which are replaced by the cancelled audio. On an
  // error `nearEnd` is left as it was and the canceller must not be used again.
  virtual std::optional<Error> process(std::span<const float> farEnd, std::span<float> nearEnd) = 0;
};

// The host's echo cancelling.
class EchoCancellerService {
 public:
  virtual ~EchoCancellerService() = default;

  // A canceller for a near end of `nearChannels` and a far end of `farChannels`,
  // both at `sampleRate` (a multiple of 100), or why there cannot be one.
  virtual Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller(int sampleRate,
                                                                   uint32_t nearChannels,
                                                                   uint32_t farChannels) = 0;
};

}  // namespace velkin
