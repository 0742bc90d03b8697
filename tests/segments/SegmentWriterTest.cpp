// SegmentWriter over a scripted media writer: when segments begin and end, what
// it asks of the writer, its error lines and its ready markers.
#include <gtest/gtest.h>

#include <algorithm>
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
    return SegmentWriter("interviewer", opened(dir.path()), media, finishes, seconds);
  }
};

// Segment N holds the track from 5 (N - 1) s to 5 N s after its first sample.
TEST(SegmentWriterRotation, ASegmentsNumberIsItsPlaceInTheTrack) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> segments;  // the times of each segment's samples
    std::vector<int64_t> numbers;
  };
  const std::vector<Case> cases = {
      {"one second apart from 10 s", {{10, 11, 12, 13, 14}, {15, 16, 17, 18, 19}, {20}}, {1, 2, 3}},
      {"5 s after the first sample rotates", {{0, 4.999}, {5}}, {1, 2}},
      {"a time before the place stays", {{10, 8, 14.5}, {16}}, {1, 2}},
      {"an invalid time follows on", {{0, NaN}, {100}}, {1, 21}},
      {"an invalid first time counts as frames", {{NaN, 0}, {10}}, {1, 3}},
      {"places do not move with the samples",
       {{0.3, 1.7, 4.1, 5.29}, {5.3, 9.0}, {10.31}, {15.3, 15.31}},
       {1, 2, 3, 4}},
      {"a gap leaves its numbers out", {{0}, {12}}, {1, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    SegmentWriter writer = f.make();
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
    EXPECT_EQ(writer.counter(), c.numbers.back());
    EXPECT_TRUE(writer.hasOpenSegment());
    for (std::size_t s = 0; s < c.segments.size(); ++s) {
      const RecordedSegment& segment = made[s];
      EXPECT_EQ(segment.times, expected[s]) << "segment " << s + 1;
      EXPECT_EQ(segment.sessionStart, expected[s].front());
      EXPECT_EQ(segment.url, f.dir / segmentFileName("interviewer", c.numbers[s]));
      EXPECT_EQ(segment.finishCalls, s + 1 < c.segments.size() ? 1 : 0);
      EXPECT_EQ(std::tie(segment.settings.sampleRate, segment.settings.numberOfChannels,
                         segment.settings.linearPCMBitDepth, segment.source.sampleRate,
                         segment.source.channelsPerFrame),
                std::make_tuple(44100.0, int64_t{1}, int64_t{16}, 44100.0, 1u));
    }
  }
}

// A buffer that crosses the end of a segment's place is cut there.
TEST(SegmentWriterRotation, ABufferAcrossAPlacesEndIsCut) {
  Fixture f;
  Audio three(SampleFormat::float32, 1, 1000);
  three.set(std::vector<float>(3000, 0.5f));
  SegmentWriter writer = f.make();
  for (double t : {0.0, 3.0, 6.0}) {
    writer.append(three.sample(at(t)));
  }
  ASSERT_EQ(f.media.segments.size(), 2u);
  EXPECT_EQ(f.media.segments[0].times, (std::vector<MediaTime>{at(0), at(3)}));
  EXPECT_EQ(f.media.segments[1].times, (std::vector<MediaTime>{at(5), at(6)}));
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
    EXPECT_EQ(writer.counter(), 0);  // a failed attempt uses up no number
    EXPECT_FALSE(writer.hasOpenSegment());
    for (const RecordedSegment& made : f.media.segments) {
      EXPECT_TRUE(made.times.empty());
      EXPECT_EQ(made.finishCalls, 0);
    }
  }
}

// The presentation times of every marked segment, in segment order, each
// segment's as a list; of a number written more than once, the last.
std::vector<std::vector<double>> markedSegments(Fixture& f) {
  std::vector<std::vector<double>> segments;
  for (std::size_t i = 0; i < f.media.segments.size(); ++i) {
    const RecordedSegment& segment = f.media.segments[i];
    if (std::filesystem::exists(readyMarkerPath(segment.url)) &&
        std::none_of(f.media.segments.begin() + i + 1, f.media.segments.end(),
                     [&](const RecordedSegment& later) { return later.url == segment.url; })) {
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
  EXPECT_EQ(writer.counter(), 1);                  // segment 2 is given back, to be written again
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
               "Velkin interviewer writer resumed: 25.5 s held, 20.0 s dropped\n");
  writer.stop();
  f.media.completeAll();

  // What is marked is the call in order, segment N from 5 (N - 1) s, only
  // the lost places left out, and no file but the marked ones.
  std::vector<double> marked;
  for (const std::vector<double>& segment : markedSegments(f)) {
    EXPECT_EQ(segment, halfSeconds(segment.front(), std::min(segment.front() + 5, 71.0)));
    marked.insert(marked.end(), segment.begin(), segment.end());
  }
  std::vector<double> expected = halfSeconds(0, 25);
  const std::vector<double> after = halfSeconds(45, 71);
  expected.insert(expected.end(), after.begin(), after.end());
  EXPECT_EQ(marked, expected);
  for (const auto& entry : std::filesystem::directory_iterator(f.dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.ends_with(".ready") ||
                std::filesystem::exists(entry.path().string() + ".ready"))
        << name;
  }

  // What the stop cannot write is reported: held audio at once, the last
  // segment's when its finish fails.
  f.media.full = Error{"POSIX", 28, "No space left on device"};
  expectStderr([&] { feed(71, 73.5); },
               "Velkin interviewer writer error: No space left on device\n");
  expectStderr([&] { writer.stop(); },
               "Velkin interviewer writer error: 2.5 s of audio could not be written\n");
  f.media.full.reset();
  feed(73.5, 75.5);
  writer.stop();
  expectStderr([&] { f.media.complete(f.media.segments.size() - 1, MediaWriterStatus::failed); },
               "Velkin interviewer writer error: 2.0 s of audio could not be written\n");
}

// A marker left by an earlier run goes, with its file, before the new file is
// made; while one cannot go, its number's audio is held, not given another number.
TEST(SegmentWriterMarkers, LeftoversGoBeforeTheNewFileOrHoldTheirNumbersAudio) {
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
  for (double t : {0.0, 5.0, 6.0}) {  // the second number tried again a second later
    writer.append(f.audio.sample(at(t)));
  }
  std::filesystem::remove_all(stuck);
  writer.append(f.audio.sample(at(7)));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Velkin writer error: Error Domain=POSIX Code=21 \"" + stuck.string() +
                ": Is a directory\"\nVelkin interviewer writer resumed: 0.0 s held, 0.0 s "
                "dropped\n");
  EXPECT_EQ(leftovers, (std::vector<bool>{false, false}));
  const std::vector<RecordedSegment>& made = f.media.segments;
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(made[1].url, f.dir / "interviewer-000002.caf");
  EXPECT_EQ(made[1].times, (std::vector<MediaTime>{at(5), at(6), at(7)}));
}

}  // namespace
}  // namespace velkin::test
