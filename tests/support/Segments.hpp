#pragma once

// The segment files an agent leaves in its segment directory, read back with
// libsndfile.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velkin::testing {

// One segment file and its marker, as libsndfile reads it.
struct Segment {
  std::filesystem::path path;
  bool marked = false;  // its ".ready" marker exists
  // libsndfile opens it as 48 kHz, 2-channel, 16-bit little-endian PCM CAF.
  bool valid = false;
  int64_t frames = 0;       // libsndfile's frame count
  std::vector<float> left;  // the frames it could read, each channel
  std::vector<float> right;

  int64_t framesRead() const { return int64_t(left.size()); }
};

Segment readSegment(const std::filesystem::path& path);

// The numbered segment files of `label` in `directory`, in order of number.
std::vector<std::filesystem::path> segmentPaths(const std::filesystem::path& directory,
                                                const std::string& label);
std::vector<Segment> readSegments(const std::filesystem::path& directory, const std::string& label);

// The left channel of `segments`, one after the other.
std::vector<float> concatenated(const std::vector<Segment>& segments);

// Every ".ready" marker in `directory`.
std::vector<std::filesystem::path> readyMarkers(const std::filesystem::path& directory);

}  // namespace velkin::testing
