#include "Segments.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace velkin::testing {

namespace fs = std::filesystem;
constexpr int64_t kShiftSearch = 48000;

Segment readSegment(const fs::path& path) {
  Segment segment;
  segment.path = path;
  segment.marked = fs::exists(path.string() + ".ready");
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    return segment;
  }
  segment.valid = info.samplerate == 48000 && info.channels == 2 &&
                  info.format == (SF_FORMAT_CAF | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE);
  segment.frames = info.frames;
  std::vector<float> interleaved(segment.valid ? std::size_t(info.frames) * 2 : 0);
  // Fewer than announced when the file is cut short.
  const sf_count_t read =
      sf_readf_float(file, interleaved.data(), sf_count_t(interleaved.size() / 2));
  for (sf_count_t f = 0; f < read; ++f) {
    segment.left.push_back(interleaved[std::size_t(f) * 2]);
    segment.right.push_back(interleaved[std::size_t(f) * 2 + 1]);
  }
  sf_close(file);
  return segment;
}

std::vector<Segment> readSegments(const fs::path& directory, const std::string& label) {
  // Numbered with six digits or more: for as many files as a test makes, the
  // order of the names is the order of the numbers.
  std::vector<fs::path> paths;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(label + "-") && name.ends_with(".caf")) {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Segment> segments;
  for (const fs::path& path : paths) {
    segments.push_back(readSegment(path));
  }
  return segments;
}

Recording examine(const fs::path& directory, const std::string& label,
                  const std::function<float(int64_t)>& played, int64_t framesPlayed) {
  Recording r;
  r.segments = readSegments(directory, label);
  for (const Segment& segment : r.segments) {
    r.unsound += !segment.sound();
    if (segment.marked) {
      r.marked.insert(r.marked.end(), segment.left.begin(), segment.left.end());
    }
  }
  const int64_t frames = int64_t(r.marked.size());
  // Frames in [from, to) that are not the played one at the offset (moved by
  // `shift`), up to `limit`.
  const auto differing = [&](int64_t from, int64_t to, int64_t limit, int64_t shift = 0) {
    int64_t n = 0;
    for (int64_t i = from; i < to && n < limit; ++i) {
      n += std::fabs(r.marked[std::size_t(i)] - played(i + r.offset + shift)) > kSampleTolerance;
    }
    return n;
  };
  r.firstSound = std::find_if(r.marked.begin(), r.marked.end(),
                              [](float x) { return std::fabs(x) > kSampleTolerance; }) -
                 r.marked.begin();
  // The played frame whose 64 frames on match the first sound's fixes the offset.
  for (r.offset = -r.firstSound;
       r.firstSound + 64 <= frames && r.offset + r.firstSound < framesPlayed; ++r.offset) {
    if (differing(r.firstSound, r.firstSound + 64, 1) == 0) {
      r.mismatches = differing(r.firstSound, frames, frames);
      break;
    }
  }
  if (r.mismatches > 0) {
    int64_t at = r.firstSound;
    while (differing(at, at + 1, 1) == 0) {
      ++at;
    }
    int64_t zeros = at;
    while (zeros < frames && r.marked[std::size_t(zeros)] == 0) {
      ++zeros;
    }
    std::optional<int64_t> shift;
    for (int64_t by = -kShiftSearch; zeros + 64 <= frames && !shift && by <= kShiftSearch; ++by) {
      if (differing(zeros, zeros + 64, 1, by) == 0) {
        shift = by;
      }
    }
    r.firstMismatch = "at frame " + std::to_string(at) + ", then " + std::to_string(zeros - at) +
                      " zeros, then the played audio " +
                      (shift ? "shifted by " + std::to_string(*shift) + " frames"
                             : std::string("nowhere within 1 s"));
  }
  return r;
}

}  // namespace velkin::testing
