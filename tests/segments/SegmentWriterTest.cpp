// SegmentWriter over a scripted media writer: when segments begin and end, what
// it asks of the writer, its error lines and its ready markers.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "SegmentTestSupport.hpp"
#include "segments/FinishTracker.hpp"
#include "segments/SegmentFiles.hpp"
#include "segments/SegmentWriter.hpp"

namespace velkin::test {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct Fixture {
  ScratchDirectory dir{"velkin-seg"};
  FakeMedia media;
  std::shared_ptr<FinishTracker> finishes = std::make_shared<FinishTracker>();
  // Not 48 kHz stereo, so that a rate or layout taken from anywhere but the
  // samples shows.
  Audio audio{SampleFormat::float32, 1, 44100};

  SegmentWriter make(double seconds = 5.0) {
    return SegmentWriter("interviewer", dir.path(), media, finishes, seconds);
  }
};

TEST(SegmentWriterRotation, SegmentsEndOnTheFirstSampleThatReachesTheLength) {
  struct Case {
    const char* name;
    double seconds;
    std::vector<std::vector<double>> segments;  // the times of each segment's samples
  };
  const std::vector<Case> cases = {
      {"one second apart from 10 s", 5, {{10, 11, 12, 13, 14}, {15, 16, 17, 18, 19}, {20}}},
      {"elapsed equal to seconds rotates", 5, {{0, 4.999}, {5}}},
      {"negative elapsed appends", 5, {{10, 8, 14.5}, {16}}},
      {"invalid time is appended, never rotates", 5, {{0, NaN}, {100}}},
      {"invalid start never rotates", 5, {{NaN, 0, 10, 100}}},
      {"zero seconds: one sample each", 0, {{1}, {2}, {2}, {3}}},
      {"zero seconds: earlier time stays", 0, {{5, 4}, {6}}},
      // Each segment starts at the sample that opened it, not 5 s after the last
      // start: 15.3 is 5 s after 10.3 but not after 10.31.
      {"uneven times", 5, {{0.3, 1.7, 4.1, 5.29}, {5.3, 9.0}, {10.31, 15.3}, {15.31}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    SegmentWriter writer = f.make(c.seconds);
    std::vector<std::vector<MediaTime>> expected;
    for (const std::vector<double>& segment : c.segments) {
      expected.emplace_back();
      for (double pts : segment) {
        writer.append(f.audio.sample(at(pts)));
        expected.back().push_back(at(pts));
      }
    }
    const std::vector<RecordedSegment>& made = f.media.segments;
    ASSERT_EQ(made.size(), c.segments.size());
    EXPECT_EQ(writer.counter(), static_cast<int64_t>(c.segments.size()));
    EXPECT_TRUE(writer.hasOpenSegment());
    for (std::size_t s = 0; s < c.segments.size(); ++s) {
      const RecordedSegment& segment = made[s];
      EXPECT_EQ(segment.times, expected[s]) << "segment " << s + 1;
      EXPECT_EQ(segment.sessionStart, expected[s].front());
      EXPECT_EQ(segment.url, f.dir / segmentFileName("interviewer", int64_t(s + 1)));
      EXPECT_EQ(segment.finishCalls, s + 1 < c.segments.size() ? 1 : 0);
      EXPECT_EQ(std::tie(segment.settings.sampleRate, segment.settings.numberOfChannels,
                         segment.settings.linearPCMBitDepth, segment.source.sampleRate,
                         segment.source.channelsPerFrame),
                std::make_tuple(44100.0, int64_t{1}, int64_t{16}, 44100.0, 1u));
    }
  }
}

TEST(SegmentWriterRotation, UnusableSamplesChangeNothingAndStopClosesOnce) {
  Fixture f;
  SegmentWriter writer = f.make();
  writer.stop();  // nothing open: nothing to do
  writer.append(f.audio.sample(at(0), /*ready=*/false));
  writer.append(SampleBuffer(true, at(0), nullptr, {}));
  writer.append(Audio(SampleFormat::float32, 0, 44100).sample(at(0)));  // nothing to hold
  writer.append(Audio(SampleFormat::float32, 2, 0).sample(at(0)));
  EXPECT_TRUE(f.media.segments.empty());

  writer.append(f.audio.sample(at(0)));
  writer.append(f.audio.sample(at(9), /*ready=*/false));  // would rotate if it counted
  writer.append(SampleBuffer(true, at(9), nullptr, {}));
  writer.stop();
  writer.stop();
  ASSERT_EQ(f.media.segments.size(), 1u);
  EXPECT_EQ(f.media.segments[0].times, std::vector<MediaTime>{at(0)});
  EXPECT_EQ(f.media.segments[0].finishCalls, 1);
  EXPECT_FALSE(writer.hasOpenSegment());

  writer.append(f.audio.sample(at(1)));
  ASSERT_EQ(f.media.segments.size(), 2u);
  EXPECT_EQ(f.media.segments[1].url, f.dir / "interviewer-000002.caf");
  // Numbers widen rather than wrap.
  EXPECT_EQ(segmentFileName("interviewer", 1000000), "interviewer-1000000.caf");
}

TEST(SegmentWriterErrors, AFailingBeginIsReportedOnceAndRetriedOnceASecond) {
  struct Case {
    const char* name;
    std::function<void(FakeMedia&)> script;
    bool audioDescription;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"writer cannot be created",
       [](auto& m) {
         m.makeError = Error{"NSCocoaErrorDomain", 513, "No permission."};
       },
       true, "Velkin writer error: Error Domain=NSCocoaErrorDomain Code=513 \"No permission.\"\n"},
      {"no audio stream description", [](auto&) {}, false,
       "Velkin interviewer writer error: missing audio stream description\n"},
      {"input cannot be added", [](auto& m) { m.canAdd = false; }, true,
       "Velkin interviewer writer error: input format is not supported\n"},
      {"start fails without an error", [](auto& m) { m.starts = false; }, true,
       "Velkin interviewer writer error: startWriting failed\n"},
      {"start fails with an error",
       [](auto& m) {
         m.full = Error{"AVFoundationErrorDomain", -11800, "The disk is gone."};
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

    ::testing::internal::CaptureStderr();
    for (double t : {0.0, 0.5, 0.99, 1.0, 1.5, 10.0}) {
      writer.append(SampleBuffer(true, at(t), &format, {}));
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
    // Attempts at 0, 1 and 10 s; samples without a description are never tried.
    EXPECT_EQ(writer.counter(), c.audioDescription ? 3 : 0);
    EXPECT_FALSE(writer.hasOpenSegment());
    for (const RecordedSegment& made : f.media.segments) {
      EXPECT_TRUE(made.times.empty());
      EXPECT_EQ(made.finishCalls, 0);
    }
  }
}

// The presentation times of every marked segment, in segment order, each
// segment's as a list.
std::vector<std::vector<double>> markedSegments(Fixture& f) {
  std::vector<std::vector<double>> segments;
  for (const RecordedSegment& segment : f.media.segments) {
    if (std::filesystem::exists(readyMarkerPath(segment.url))) {
      segments.emplace_back();
      for (const MediaTime& time : segment.times) {
        segments.back().push_back(time.seconds());
      }
    }
  }
  return segments;
}

std::vector<double> halfSeconds(double from, double to) {
  std::vector<double> times;
  for (double t = from; t < to - 1e-9; t += 0.5) {
    times.push_back(t);
  }
  return times;
}

// Half-second buffers of 1 kHz stereo; the hold keeps 30 s.
TEST(SegmentWriterHold, AnOutageIsHeldWrittenBackInOrderAndOverflowDropsTheOldest) {
  Fixture f;
  Audio half(SampleFormat::float32, 2, 1000);
  half.set(std::vector<float>(1000, 0.25f));
  SegmentWriter writer = f.make();
  const auto feed = [&](double from, double to) {
    for (double t : halfSeconds(from, to)) {
      writer.append(half.sample(at(t)));
    }
  };
  const auto expectStderr = [&](const std::function<void()>& run, const std::string& lines) {
    ::testing::internal::CaptureStderr();
    run();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), lines);
  };

  // A finish that fails gives its segment's audio back, and the open one's after it.
  feed(0, 6);
  EXPECT_EQ(f.finishes->pending(), 1u);
  f.media.complete(0, MediaWriterStatus::failed);
  EXPECT_EQ(f.finishes->pending(), 0u);
  expectStderr([&] { feed(6, 7.5); },
               "Velkin interviewer writer error: finish failed\n"
               "Velkin interviewer writer resumed: 7.5 s held, 0.0 s dropped\n");
  f.media.completeAll();

  // A disk full for 14 s: one line, one attempt a second, all of it held.
  f.media.full = Error{"POSIX", 28, "No space left on device"};
  expectStderr([&] { feed(7.5, 22); },
               "Velkin interviewer writer error: No space left on device\n");
  EXPECT_EQ(writer.counter(), 4 + 14);
  EXPECT_DOUBLE_EQ(writer.heldSeconds(), 22 - 5);  // the failed segment's audio too
  f.media.full.reset();
  f.media.completeAll();
  expectStderr([&] { feed(22, 25); },
               "Velkin interviewer writer resumed: 18.0 s held, 0.0 s dropped\n");
  EXPECT_DOUBLE_EQ(writer.heldSeconds(), 0);

  // A disk full for longer than the hold: the oldest audio goes, and is counted.
  f.media.completeAll();
  f.media.full = Error{"POSIX", 28, "No space left on device"};
  expectStderr([&] { feed(25, 70); }, "Velkin interviewer writer error: No space left on device\n");
  EXPECT_DOUBLE_EQ(writer.heldSeconds(), 30);
  f.media.full.reset();
  expectStderr([&] { feed(70, 71); },
               "Velkin interviewer writer resumed: 30.0 s held, 15.5 s dropped\n");
  writer.stop();
  f.media.completeAll();

  // What is marked is the call in order, each segment 5 s but the last before a
  // loss and the last of all.
  std::vector<double> marked;
  const std::vector<std::vector<double>> segments = markedSegments(f);
  for (std::size_t s = 0; s < segments.size(); ++s) {
    marked.insert(marked.end(), segments[s].begin(), segments[s].end());
    if (s + 1 < segments.size() && segments[s + 1].front() == segments[s].back() + 0.5) {
      EXPECT_EQ(segments[s].size(), 10u) << "segment " << s;
    }
  }
  std::vector<double> expected = halfSeconds(0, 25);
  const std::vector<double> after = halfSeconds(40.5, 71);
  expected.insert(expected.end(), after.begin(), after.end());
  EXPECT_EQ(marked, expected);
}

// A marker left by an earlier run goes, with its file, before the new file is
// made; one that cannot go keeps its number from being used.
TEST(SegmentWriterMarkers, LeftoversGoBeforeTheNewFileOrKeepTheirNumberUnused) {
  Fixture f;
  const auto first = f.dir / "interviewer-000001.caf";
  writeFile(first, "old audio");
  writeFile(readyMarkerPath(first), "");
  const auto stuck = readyMarkerPath(f.dir / "interviewer-000002.caf");
  std::filesystem::create_directories(stuck / "inside");
  std::vector<bool> leftovers;
  f.media.onMakeWriter = [&](const std::filesystem::path& url) {
    leftovers.push_back(std::filesystem::exists(readyMarkerPath(url)) ||
                        std::filesystem::exists(url));
  };
  SegmentWriter writer = f.make();
  ::testing::internal::CaptureStderr();
  for (double t : {0.0, 5.0, 6.0}) {  // the third number a second after the second failed
    writer.append(f.audio.sample(at(t)));
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Velkin writer error: Error Domain=POSIX Code=39 \"" + stuck.string() +
                ": Directory not empty\"\nVelkin interviewer writer resumed: 0.0 s held, 0.0 s "
                "dropped\n");
  EXPECT_EQ(leftovers, (std::vector<bool>{false, false}));
  const std::vector<RecordedSegment>& made = f.media.segments;
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(made[1].url, f.dir / "interviewer-000003.caf");
  EXPECT_EQ(made[1].times, (std::vector<MediaTime>{at(5), at(6)}));
}

}  // namespace
}  // namespace velkin::test
