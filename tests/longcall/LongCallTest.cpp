#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "LongCall.hpp"

namespace velkin::longcall {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers hold on to freed memory (AddressSanitizer's quarantine alone
// is 256 MiB), so resident memory says nothing about the agent there.
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "velkin-longcall-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string describe(const LongCallResult& result) {
  std::string text = std::to_string(result.problemCount) + " problem(s)";
  for (const std::string& problem : result.problems) {
    text += "\n  " + problem;
  }
  for (const int status : result.exitStatuses) {
    text += "\n  exit requested with status " + std::to_string(status);
  }
  return text;
}

LongCallResult runCapturingOutput(const LongCallOptions& options, std::string& errors) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  LongCallResult result = runLongCall(options);
  (void)testing::internal::GetCapturedStdout();
  errors = testing::internal::GetCapturedStderr();
  return result;
}

// A few minutes stand in for the hours of the benchmark: the same checks of
// every segment, and resources that must not move once capture has settled.
TEST(LongCallTest, MinutesOfTwoTracksKeepSegmentsWholeAndResourcesFlat) {
  TempDir directory;
  LongCallOptions options;
  options.directory = directory.path();
  options.seconds = 4 * 60 + 2.5;  // 48 whole segments and a short last one per track
  std::string errors;
  const LongCallResult result = runCapturingOutput(options, errors);

  ASSERT_TRUE(result.passed()) << describe(result);
  // The two announcements, in either order, and no writer error.
  EXPECT_TRUE(
      errors == "VELKIN_CAPTURE_FIRST_OUTPUT audio\nVELKIN_CAPTURE_FIRST_OUTPUT microphone\n" ||
      errors == "VELKIN_CAPTURE_FIRST_OUTPUT microphone\nVELKIN_CAPTURE_FIRST_OUTPUT audio\n")
      << errors;
  ASSERT_EQ(result.tracks.size(), 2u);
  for (const TrackSummary& track : result.tracks) {
    SCOPED_TRACE(track.label);
    EXPECT_EQ(track.segments, 49);
    EXPECT_EQ(track.deliveredFrames, 242.5 * 48000);
    EXPECT_EQ(track.frames, track.deliveredFrames);
  }

  // Start, four minutes, end.
  ASSERT_EQ(result.samples.size(), 6u);
  const ResourceSample& start = result.samples.front();
  const ResourceSample& warm = result.samples[1];
  const ResourceSample& end = result.samples.back();
  for (std::size_t i = 2; i + 1 < result.samples.size(); ++i) {
    SCOPED_TRACE("minute " + std::to_string(i));
    EXPECT_EQ(result.samples[i].openFds, warm.openFds);
    EXPECT_EQ(result.samples[i].threads, warm.threads);
  }
  // While capturing, each track holds its open segment and nothing more: the
  // writer's descriptor and libsndfile's own copy of it.
  EXPECT_EQ(warm.openFds, start.openFds + 4);
  EXPECT_EQ(end.openFds, start.openFds);
  EXPECT_EQ(end.threads, start.threads);
  if (kResidentMemoryMeaningful) {
    // Loose: allocator noise, not a per-segment leak, which would be ~100 KiB
    // a minute here.
    EXPECT_LE(result.samples[4].rssKiB - warm.rssKiB, 4096) << "KiB gained in three minutes";
  }
  EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
}

// A call that ends on a segment boundary ends with a whole segment, not an
// empty one; and a host that never runs ahead of the writers changes nothing.
TEST(LongCallTest, CallEndingOnABoundaryHasNoEmptyLastSegment) {
  TempDir directory;
  LongCallOptions options;
  options.directory = directory.path() / "not-yet-there";
  options.seconds = 10;
  options.drainEvery = 1;
  std::string errors;
  const LongCallResult result = runCapturingOutput(options, errors);

  ASSERT_TRUE(result.passed()) << describe(result);
  ASSERT_EQ(result.tracks.size(), 2u);
  for (const TrackSummary& track : result.tracks) {
    SCOPED_TRACE(track.label);
    EXPECT_EQ(track.segments, 2);
    EXPECT_EQ(track.frames, 10 * 48000);
  }
}

}  // namespace
}  // namespace velkin::longcall
