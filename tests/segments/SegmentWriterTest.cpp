// SegmentWriter over a scripted media writer: when segments begin and end, what
// it asks of the writer, its error lines and its ready markers.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "SegmentTestSupport.hpp"
#include "segments/FinishTracker.hpp"
#include "segments/SegmentFiles.hpp"
#include "segments/SegmentWriter.hpp"

namespace velkin::test {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct Fixture {
  TempDir dir;
  FakeService media;
  std::shared_ptr<FinishTracker> finishes = std::make_shared<FinishTracker>();
  Audio audio;

  SegmentWriter make(double seconds = 5.0) {
    return SegmentWriter("interviewer", dir.path(), media, finishes, seconds);
  }
};

TEST(SegmentWriterRotation, SegmentsEndOnTheFirstSampleThatReachesTheLength) {
  struct Case {
    const char* name;
    double seconds;
    std::vector<double> pts;
    std::vector<std::vector<int>> segments;  // indices into pts, per segment
  };
  const std::vector<Case> cases = {
      {"one second apart from 10 s",
       5.0,
       {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20},
       {{0, 1, 2, 3, 4}, {5, 6, 7, 8, 9}, {10}}},
      {"elapsed equal to seconds rotates", 5.0, {0, 4.999, 5}, {{0, 1}, {2}}},
      {"negative elapsed appends", 5.0, {10, 8, 14.5, 16}, {{0, 1, 2}, {3}}},
      {"invalid time is appended, never rotates", 5.0, {0, NaN, 100}, {{0, 1}, {2}}},
      {"invalid start never rotates", 5.0, {NaN, 0, 10, 100}, {{0, 1, 2, 3}}},
      {"zero seconds: one sample each", 0.0, {1, 2, 2, 3}, {{0}, {1}, {2}, {3}}},
      {"zero seconds: earlier time stays", 0.0, {5, 4, 6}, {{0, 1}, {2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    SegmentWriter writer = f.make(c.seconds);
    for (double pts : c.pts) {
      writer.append(f.audio.sample(at(pts)));
    }

    ASSERT_EQ(f.media.writers.size(), c.segments.size());
    EXPECT_EQ(writer.counter(), static_cast<int64_t>(c.segments.size()));
    EXPECT_TRUE(writer.hasOpenSegment());
    for (std::size_t s = 0; s < c.segments.size(); ++s) {
      const FakeWriter& segment = *f.media.writers[s];
      std::vector<MediaTime> expected;
      for (int index : c.segments[s]) {
        expected.push_back(at(c.pts[index]));
      }
      EXPECT_EQ(segment.input->appended, expected) << "segment " << s + 1;
      EXPECT_EQ(segment.sessionStart, expected.front());
      EXPECT_EQ(segment.url, f.dir / segmentFileName("interviewer", int64_t(s + 1)));
      const bool closed = s + 1 < c.segments.size();
      EXPECT_EQ(segment.finishCalls, closed ? 1 : 0);
      EXPECT_EQ(segment.input->finished, closed);
    }
  }
}

TEST(SegmentWriterRotation, SegmentNumbersWidenPastSixDigits) {
  EXPECT_EQ(segmentFileName("candidate", 42), "candidate-000042.caf");
  EXPECT_EQ(segmentFileName("interviewer", 999999), "interviewer-999999.caf");
  EXPECT_EQ(segmentFileName("interviewer", 1000000), "interviewer-1000000.caf");
  EXPECT_EQ(readyMarkerPath("/d/interviewer-000012.caf"), "/d/interviewer-000012.caf.ready");
}

TEST(SegmentWriterRotation, UnusableSamplesChangeNothing) {
  Fixture f;
  SegmentWriter writer = f.make();
  const SampleBuffer noFormat(true, at(0), nullptr, {});
  writer.append(f.audio.sample(at(0), /*ready=*/false));
  writer.append(noFormat);
  EXPECT_EQ(writer.counter(), 0);
  EXPECT_FALSE(writer.hasOpenSegment());
  EXPECT_TRUE(f.media.writers.empty());

  writer.append(f.audio.sample(at(0)));
  writer.append(f.audio.sample(at(9), /*ready=*/false));  // would rotate if it counted
  writer.append(SampleBuffer(true, at(9), nullptr, {}));
  EXPECT_EQ(writer.counter(), 1);
  EXPECT_EQ(f.media.writers[0]->input->appended, std::vector<MediaTime>{at(0)});
}

TEST(SegmentWriterRotation, StopClosesOnceAndTheNextSampleOpensTheNextNumber) {
  Fixture f;
  SegmentWriter writer = f.make();
  writer.stop();  // nothing open: nothing to do
  EXPECT_TRUE(f.media.writers.empty());

  writer.append(f.audio.sample(at(0)));
  writer.stop();
  writer.stop();
  ASSERT_EQ(f.media.writers.size(), 1u);
  EXPECT_EQ(f.media.writers[0]->finishCalls, 1);
  EXPECT_FALSE(writer.hasOpenSegment());

  writer.append(f.audio.sample(at(1)));
  EXPECT_EQ(writer.counter(), 2);
  ASSERT_EQ(f.media.writers.size(), 2u);
  EXPECT_EQ(f.media.writers[1]->url, f.dir / "interviewer-000002.caf");
  EXPECT_EQ(f.media.writers[1]->input->appended, std::vector<MediaTime>{at(1)});
}

TEST(SegmentWriterErrors, EachFailedBeginWritesItsLineAndUsesUpANumber) {
  struct Case {
    const char* name;
    std::function<void(FakeService&)> script;
    bool audioDescription;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"writer cannot be created",
       [](FakeService& m) {
         m.makeError = Error{"NSCocoaErrorDomain", 513, "No permission."};
       },
       true, "Velkin writer error: Error Domain=NSCocoaErrorDomain Code=513 \"No permission.\"\n"},
      {"no audio stream description", [](FakeService&) {}, false,
       "Velkin interviewer writer error: missing audio stream description\n"},
      {"input cannot be added", [](FakeService& m) { m.canAdd = false; }, true,
       "Velkin interviewer writer error: input format is not supported\n"},
      {"start fails without an error", [](FakeService& m) { m.starts = false; }, true,
       "Velkin interviewer writer error: startWriting failed\n"},
      {"start fails with an error",
       [](FakeService& m) {
         m.starts = false;
         m.startError = Error{"AVFoundationErrorDomain", -11800, "The disk is gone."};
       },
       true, "Velkin interviewer writer error: The disk is gone.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    c.script(f.media);
    SegmentWriter writer = f.make();
    const FormatDescription notAudio;
    const FormatDescription& format = c.audioDescription ? f.audio.format() : notAudio;

    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
      writer.append(SampleBuffer(true, at(i * 10), &format, {}));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line + c.line + c.line);
    EXPECT_EQ(writer.counter(), 3);
    EXPECT_FALSE(writer.hasOpenSegment());
    for (const auto& made : f.media.writers) {
      EXPECT_TRUE(made->input == nullptr || made->input->appended.empty());
      EXPECT_EQ(made->finishCalls, 0);
    }
  }
}

TEST(SegmentWriterErrors, AFailedSegmentIsReportedAndReplacedAtTheNextSample) {
  Fixture f;
  SegmentWriter writer = f.make();
  writer.append(f.audio.sample(at(0)));
  ASSERT_EQ(f.media.writers.size(), 1u);
  FakeWriter& full = *f.media.writers[0];
  full.input->fails = true;
  full.startError = Error{"POSIX", 28, "No space left on device"};

  testing::internal::CaptureStderr();
  writer.append(f.audio.sample(at(1)));  // the write fails: reported once
  full.turnFailed();
  writer.append(f.audio.sample(at(1.02)));  // long before the length runs out
  writer.append(f.audio.sample(at(1.04)));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Velkin interviewer writer error: No space left on device\n");
  EXPECT_EQ(full.finishCalls, 1);
  full.complete(MediaWriterStatus::failed);
  EXPECT_FALSE(std::filesystem::exists(f.dir / "interviewer-000001.caf.ready"));
  ASSERT_EQ(f.media.writers.size(), 2u);
  EXPECT_EQ(f.media.writers[1]->input->appended, (std::vector<MediaTime>{at(1.02), at(1.04)}));
}

TEST(SegmentWriterMarkers, MarkerAppearsOnlyWhenTheFinishCompletes) {
  Fixture f;
  SegmentWriter writer = f.make();
  writer.append(f.audio.sample(at(0)));
  writer.append(f.audio.sample(at(5)));   // segment 1 finishing
  writer.append(f.audio.sample(at(10)));  // segment 2 finishing
  const auto marker = [&](int n) {
    return readyMarkerPath(f.dir / segmentFileName("interviewer", n));
  };
  EXPECT_EQ(f.finishes->pending(), 2u);
  EXPECT_FALSE(std::filesystem::exists(marker(1)));

  f.media.writers[0]->complete(MediaWriterStatus::failed);
  EXPECT_FALSE(std::filesystem::exists(marker(1)));
  EXPECT_EQ(f.finishes->pending(), 1u);

  f.media.writers[1]->complete(MediaWriterStatus::completed);
  ASSERT_TRUE(std::filesystem::exists(marker(2)));
  EXPECT_EQ(std::filesystem::file_size(marker(2)), 0u);
  EXPECT_EQ(f.finishes->pending(), 0u);
  EXPECT_FALSE(std::filesystem::exists(marker(3)));
}

TEST(SegmentWriterMarkers, StaleMarkerAndFileAreGoneBeforeTheNewFileIsMade) {
  Fixture f;
  const auto file = f.dir / "interviewer-000001.caf";
  writeFile(file, "old audio");
  writeFile(readyMarkerPath(file), "");
  bool checked = false;
  f.media.onMakeWriter = [&](const std::filesystem::path& url) {
    EXPECT_FALSE(std::filesystem::exists(readyMarkerPath(url)));
    EXPECT_FALSE(std::filesystem::exists(url));
    checked = true;
  };
  SegmentWriter writer = f.make();
  writer.append(f.audio.sample(at(0)));
  EXPECT_TRUE(checked);
  EXPECT_TRUE(writer.hasOpenSegment());
}

TEST(SegmentWriterMarkers, MarkerThatCannotBeRemovedKeepsTheNameFromBeingReused) {
  Fixture f;
  const auto marker = readyMarkerPath(f.dir / "interviewer-000001.caf");
  std::filesystem::create_directory(marker);
  writeFile(marker / "inside", "x");
  SegmentWriter writer = f.make();

  testing::internal::CaptureStderr();
  writer.append(f.audio.sample(at(0)));
  const std::string line = testing::internal::GetCapturedStderr();
  EXPECT_EQ(line, "Velkin writer error: Error Domain=POSIX Code=39 \"" + marker.string() +
                      ": Directory not empty\"\n");
  EXPECT_TRUE(f.media.writers.empty());

  writer.append(f.audio.sample(at(1)));  // the next number is free
  EXPECT_EQ(writer.counter(), 2);
  EXPECT_TRUE(writer.hasOpenSegment());
}

}  // namespace
}  // namespace velkin::test
