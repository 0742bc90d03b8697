#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "AgentProcess.hpp"
#include "platform/Media.hpp"

namespace velkin {

// Lets failed comparisons show times readably.
inline void PrintTo(const MediaTime& time, std::ostream* out) {
  *out << time.value << "/" << time.timescale << (time.isValid() ? "" : " (invalid)");
}

}  // namespace velkin

namespace velkin::test {

using testing::readFile;
using testing::ScratchDirectory;

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// Seconds as a time of timescale 44100, a rate no writer assumes; NaN gives an
// invalid time.
inline MediaTime at(double seconds) {
  return std::isnan(seconds) ? MediaTime::invalid()
                             : MediaTime::make(std::llround(seconds * 44100), 44100);
}

// Interleaved audio of one layout; the samples handed out borrow its bytes.
class Audio {
 public:
  explicit Audio(SampleFormat format = SampleFormat::float32, uint32_t channels = 2,
                 double rate = 48000)
      : format_(AudioStreamDescription{rate, channels, format}),
        bytes_(format_.streamBasicDescription()->bytesPerFrame()) {}

  template <typename T>
  void set(const std::vector<T>& values) {
    const auto* first = reinterpret_cast<const std::byte*>(values.data());
    bytes_.assign(first, first + values.size() * sizeof(T));
  }
  SampleBuffer sample(MediaTime pts, bool ready = true) const {
    return SampleBuffer(ready, pts, &format_, bytes_);
  }
  const FormatDescription& format() const { return format_; }

 private:
  FormatDescription format_;
  std::vector<std::byte> bytes_;
};

}  // namespace velkin::test
