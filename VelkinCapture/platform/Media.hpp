#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velkin {

// A rational time stamp: value / timescale seconds. Flags say whether it is a
// real time at all; only valid, finite times convert to a finite number of seconds.
struct MediaTime {
  enum Flag : uint32_t {
    valid = 1u << 0,
    hasBeenRounded = 1u << 1,
    positiveInfinity = 1u << 2,
    negativeInfinity = 1u << 3,
    indefinite = 1u << 4,
  };

  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;
  int64_t epoch = 0;

  static MediaTime make(int64_t value, int32_t timescale) {
    if (timescale <= 0) {
      return invalid();
    }
    return MediaTime{value, timescale, valid, 0};
  }
  static MediaTime invalid() { return MediaTime{}; }

  bool isValid() const { return (flags & valid) != 0; }
  bool isNumeric() const {
    return isValid() && (flags & (positiveInfinity | negativeInfinity | indefinite)) == 0;
  }

  // Seconds as a double: NaN for an invalid or indefinite time, +/-infinity for
  // the infinite ones.
  double seconds() const;

  // a - b. Times of different timescales are brought to a common one; a result
  // that no longer fits is rounded to the larger timescale and flagged as rounded.
  // Anything involving an invalid or indefinite time is invalid; times of
  // different epochs cannot be compared and give an invalid result.
  friend MediaTime operator-(const MediaTime& a, const MediaTime& b);
  friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

// How the samples of one buffer are laid out: always interleaved, native endian.
enum class SampleFormat { float32, int16, int32 };

// The audio stream description of a format: only the rate, the channel count and
// the sample layout are used.
struct AudioStreamDescription {
  double sampleRate = 0;
  uint32_t channelsPerFrame = 0;
  SampleFormat format = SampleFormat::float32;

  uint32_t bytesPerFrame() const;
};

// The format of a sample. Screen frames carry one without an audio description.
class FormatDescription {
 public:
  FormatDescription() = default;
  explicit FormatDescription(AudioStreamDescription audio) : audio_(audio) {}

  // Null when the format is not audio.
  const AudioStreamDescription* streamBasicDescription() const {
    return audio_ ? &*audio_ : nullptr;
  }

 private:
  std::optional<AudioStreamDescription> audio_;
};

// One delivered media sample. It is borrowed for the one call that hands it over:
// neither it nor its data may be kept after that call returns.
class SampleBuffer {
 public:
  SampleBuffer(bool dataIsReady, MediaTime presentationTimeStamp,
               const FormatDescription* formatDescription, std::span<const std::byte> data)
      : dataIsReady_(dataIsReady),
        presentationTimeStamp_(presentationTimeStamp),
        formatDescription_(formatDescription),
        data_(data) {}

  bool dataIsReady() const { return dataIsReady_; }
  MediaTime presentationTimeStamp() const { return presentationTimeStamp_; }
  const FormatDescription* formatDescription() const { return formatDescription_; }
  std::span<const std::byte> data() const { return data_; }

  // Whole frames in `data()` under the sample's audio description; 0 without one.
  int64_t frameCount() const;

 private:
  bool dataIsReady_;
  MediaTime presentationTimeStamp_;
  const FormatDescription* formatDescription_;
  std::span<const std::byte> data_;
};

}  // namespace velkin
