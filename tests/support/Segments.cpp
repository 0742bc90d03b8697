#include "Segments.hpp"

#include <sndfile.h>

#include <algorithm>
#include <regex>
#include <utility>

namespace velkin::testing {

namespace fs = std::filesystem;

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
  if (segment.valid) {
    std::vector<float> interleaved(size_t(info.frames) * 2);
    // Fewer than announced when the file is cut short.
    const sf_count_t read =
        std::max<sf_count_t>(0, sf_readf_float(file, interleaved.data(), info.frames));
    for (sf_count_t f = 0; f < read; ++f) {
      segment.left.push_back(interleaved[size_t(f) * 2]);
      segment.right.push_back(interleaved[size_t(f) * 2 + 1]);
    }
  }
  sf_close(file);
  return segment;
}

std::vector<fs::path> segmentPaths(const fs::path& directory, const std::string& label) {
  std::vector<std::pair<long long, fs::path>> numbered;
  const std::regex name(label + "-([0-9]{6,})\\.caf");
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    std::smatch match;
    const std::string file = entry.path().filename().string();
    if (std::regex_match(file, match, name)) {
      numbered.emplace_back(std::stoll(match[1].str()), entry.path());
    }
  }
  std::sort(numbered.begin(), numbered.end());
  std::vector<fs::path> paths;
  for (auto& [number, path] : numbered) {
    paths.push_back(std::move(path));
  }
  return paths;
}

std::vector<Segment> readSegments(const fs::path& directory, const std::string& label) {
  std::vector<Segment> segments;
  for (const fs::path& path : segmentPaths(directory, label)) {
    segments.push_back(readSegment(path));
  }
  return segments;
}

std::vector<float> concatenated(const std::vector<Segment>& segments) {
  std::vector<float> track;
  for (const Segment& segment : segments) {
    track.insert(track.end(), segment.left.begin(), segment.left.end());
  }
  return track;
}

std::vector<fs::path> readyMarkers(const fs::path& directory) {
  std::vector<fs::path> markers;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    if (entry.path().extension() == ".ready") {
      markers.push_back(entry.path());
    }
  }
  std::sort(markers.begin(), markers.end());
  return markers;
}

}  // namespace velkin::testing
