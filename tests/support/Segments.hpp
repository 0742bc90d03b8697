#pragma once

// The segment files an agent leaves in its segment directory, read back with
// libsndfile, and a track's marked audio held against what was played into it.

#include <cstdint>
#include <filesystem>
#include <functional>
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
  std::vector<float> left;  // each channel of the frames it could read
  std::vector<float> right;

  int64_t framesRead() const { return int64_t(left.size()); }
  // Marked, valid, and every frame its header counts is there.
  bool sound() const { return marked && valid && framesRead() == frames; }
};

Segment readSegment(const std::filesystem::path& path);

// The numbered segment files of `label` in `directory`, in order of number.
std::vector<Segment> readSegments(const std::filesystem::path& directory, const std::string& label);

// A track as it lies in the segment directory, against the noise played into it.
struct Recording {
  std::vector<Segment> segments;
  std::size_t unsound = 0;    // segments that are not sound()
  std::vector<float> marked;  // the left channel of the marked segments, one after the other
  int64_t firstSound = 0;     // the first marked frame above the 16-bit rounding
  int64_t offset = 0;         // played frame = marked frame + offset
  // Marked frames from the first sound on that are not the played one; -1 when
  // the played audio is nowhere in the track.
  int64_t mismatches = -1;
  // Where the first mismatch lies and what follows it: a run of zeros, then the
  // played audio shifted by some frames (a hole), or not found (resampled).
  std::string firstMismatch;
};

// Two conversions to 16 bits lie between a played sample and a recorded one.
constexpr float kSampleTolerance = 1e-4f;

Recording examine(const std::filesystem::path& directory, const std::string& label,
                  const std::function<float(int64_t)>& played, int64_t framesPlayed);

}  // namespace velkin::testing
