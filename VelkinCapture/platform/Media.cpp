#include "platform/Media.hpp"

#include <cmath>
#include <limits>
#include <numeric>

namespace velkin {

double MediaTime::seconds() const {
  if (!isValid() || (flags & indefinite) != 0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if ((flags & positiveInfinity) != 0) {
    return std::numeric_limits<double>::infinity();
  }
  if ((flags & negativeInfinity) != 0) {
    return -std::numeric_limits<double>::infinity();
  }
  return static_cast<double>(value) / static_cast<double>(timescale);
}

MediaTime operator-(const MediaTime& a, const MediaTime& b) {
  if (!a.isValid() || !b.isValid() || ((a.flags | b.flags) & MediaTime::indefinite) != 0 ||
      a.epoch != b.epoch) {
    return MediaTime::invalid();
  }
  const bool aInfinite = (a.flags & (MediaTime::positiveInfinity | MediaTime::negativeInfinity));
  const bool bInfinite = (b.flags & (MediaTime::positiveInfinity | MediaTime::negativeInfinity));
  if (aInfinite || bInfinite) {
    // inf - inf of the same sign has no value.
    uint32_t sign = 0;
    if (aInfinite) {
      sign = a.flags & (MediaTime::positiveInfinity | MediaTime::negativeInfinity);
    }
    if (bInfinite) {
      const uint32_t flipped = (b.flags & MediaTime::positiveInfinity) != 0
                                   ? MediaTime::negativeInfinity
                                   : MediaTime::positiveInfinity;
      if (aInfinite && sign != flipped) {
        return MediaTime{0, 1, MediaTime::valid | MediaTime::indefinite, a.epoch};
      }
      sign = flipped;
    }
    return MediaTime{0, 1, MediaTime::valid | sign, a.epoch};
  }

  __extension__ typedef __int128 Wide;
  MediaTime out{0, a.timescale,
                MediaTime::valid | ((a.flags | b.flags) & MediaTime::hasBeenRounded), a.epoch};
  Wide difference = 0;
  if (a.timescale == b.timescale) {
    difference = Wide(a.value) - Wide(b.value);
  } else {
    const int64_t common = std::lcm<int64_t>(a.timescale, b.timescale);
    if (common <= std::numeric_limits<int32_t>::max()) {
      out.timescale = static_cast<int32_t>(common);
      difference = Wide(a.value) * (common / a.timescale) - Wide(b.value) * (common / b.timescale);
    } else {
      // No exact common timescale: use the finer one and round to nearest.
      out.timescale = std::max(a.timescale, b.timescale);
      const auto rescale = [&](const MediaTime& t) {
        const Wide scaled = Wide(t.value) * out.timescale;
        const Wide half = t.timescale / 2;
        return (scaled >= 0 ? scaled + half : scaled - half) / t.timescale;
      };
      difference = rescale(a) - rescale(b);
      out.flags |= MediaTime::hasBeenRounded;
    }
  }
  if (difference > std::numeric_limits<int64_t>::max()) {
    return MediaTime{0, 1, MediaTime::valid | MediaTime::positiveInfinity, a.epoch};
  }
  if (difference < std::numeric_limits<int64_t>::min()) {
    return MediaTime{0, 1, MediaTime::valid | MediaTime::negativeInfinity, a.epoch};
  }
  out.value = static_cast<int64_t>(difference);
  return out;
}

uint32_t AudioStreamDescription::bytesPerFrame() const {
  const uint32_t bytes = format == SampleFormat::int16 ? 2 : 4;
  return bytes * channelsPerFrame;
}

int64_t SampleBuffer::frameCount() const {
  const AudioStreamDescription* audio =
      formatDescription_ ? formatDescription_->streamBasicDescription() : nullptr;
  if (audio == nullptr || audio->bytesPerFrame() == 0) {
    return 0;
  }
  return static_cast<int64_t>(data_.size() / audio->bytesPerFrame());
}

}  // namespace velkin
