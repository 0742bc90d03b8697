// The segment directory fails the agent: it fills up mid-call, or it cannot be
// written at all. The agent must keep running, say what failed, and never mark a
// file that is not whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "FaultSupport.hpp"

namespace velkin::faults {
namespace {

using namespace std::chrono_literals;
class StorageFaults : public FaultTest {
 protected:
  // A run into a segment directory that takes no file: ready all the same,
  // every attempt reported, nothing left behind and nothing marked, and an
  // orderly stop.
  void expectRunWithoutSegments(const fs::path& directory, const std::string& reason) {
    const Call call = playCall(*daemon_);
    ASSERT_TRUE(call.player);
    Agent agent(directory, control());
    ASSERT_TRUE(agent.becomesReady(5s));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(agent.running()) << agent.standardError();

    const auto stoppedAt = Clock::now();
    ASSERT_NO_FATAL_FAILURE(agent.stopInOrder());
    const double exitSeconds = std::chrono::duration<double>(agent.endedAt() - stoppedAt).count();

    const std::string errors = agent.standardError();
    const auto lines = linesStartingWith(errors, "Velkin writer error: ");
    std::printf(
        "exited %.3f s after the stop file; %zu writer error lines in 1.5 s, the first:\n"
        "  %s\n",
        exitSeconds, lines.size(), lines.empty() ? "(none)" : lines.front().c_str());
    for (const char* label : {"interviewer-", "candidate-"}) {
      EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                              [&](const std::string& line) {
                                return line.find(label) != std::string::npos &&
                                       line.find(reason) != std::string::npos;
                              }))
          << "no writer error naming a " << label << " file and \"" << reason << "\":\n"
          << errors;
    }
    EXPECT_TRUE(linesStartingWith(errors, "Velkin capture").empty()) << errors;
    EXPECT_TRUE(readyMarkers(directory).empty());
  }
};

TEST_F(StorageFaults, AFullDiskCostsOnlyTheSegmentsItCutsAndRecordingResumesWithSpace) {
  if (!mountFailure().empty()) {
    GTEST_SKIP() << mountFailure();
  }
  // Room for about eight seconds of both tracks.
  Tmpfs disk(scratch_.path() / "disk", 3 << 20);
  ASSERT_EQ(disk.failure(), "");
  const fs::path directory = disk.path() / "segments";
  const fs::path filler = disk.path() / "filler";

  const Call call = playCall(*daemon_);
  ASSERT_TRUE(call.player);
  Agent agent(directory, control());
  ASSERT_TRUE(agent.becomesReady(5s));
  const auto readyAt = Clock::now();

  // Full from 2 s into the first segments until well past their end at 5 s.
  std::this_thread::sleep_until(readyAt + 2s);
  const int64_t taken = fillFileSystem(filler);
  ASSERT_GT(taken, 0);
  EXPECT_LT(disk.freeBytes(), 4096);
  std::this_thread::sleep_until(readyAt + 6500ms);
  EXPECT_TRUE(agent.running()) << agent.standardError();
  const std::string errorsWhileFull = agent.standardError();
  const size_t filesWhileFull = std::distance(fs::directory_iterator(directory), {});
  fs::remove(filler);
  const auto freedAt = Clock::now();

  std::this_thread::sleep_until(freedAt + 2s);
  EXPECT_TRUE(agent.running()) << agent.standardError();
  ASSERT_NO_FATAL_FAILURE(agent.stopInOrder());
  const double secondsWithRoom = std::chrono::duration<double>(agent.endedAt() - freedAt).count();
  const std::string errors = agent.standardError();

  // Both tracks said that they lost audio, while the disk was full.
  for (const char* label : {"interviewer", "candidate"}) {
    const auto lines =
        linesStartingWith(errorsWhileFull, std::string("Velkin ") + label + " writer error: ");
    EXPECT_FALSE(lines.empty()) << "no writer error for " << label << ":\n" << errors;
    if (!lines.empty()) {
      EXPECT_NE(lines.front().find("No space left on device"), std::string::npos) << lines.front();
    }
  }
  std::printf("%lld bytes filled 2 s in, freed 4.5 s later; %zu error lines, %zu files by then\n",
              static_cast<long long>(taken), linesStartingWith(errors, "Velkin ").size(),
              filesWhileFull);

  // Every marker stands beside a whole file of the call.
  for (const fs::path& marker : readyMarkers(directory)) {
    const fs::path file = marker.parent_path() / marker.stem();
    ASSERT_TRUE(fs::exists(file)) << marker << " marks nothing";
    const SegmentFile segment = readSegmentFile(file);
    EXPECT_TRUE(isComplete(segment));
    EXPECT_TRUE(holdsPlayedNoise(segment));
  }
  for (const char* label : {"interviewer", "candidate"}) {
    SCOPED_TRACE(label);
    const std::vector<SegmentFile> segments = readSegments(directory, label);
    ASSERT_GE(segments.size(), 2u);
    size_t empty = 0;
    for (const SegmentFile& s : segments) {
      if (s.fileBytes == 0) {
        ++empty;  // attempts that found no room for a header
        continue;
      }
      std::printf("  %s: %lld bytes, %lld frames read, %s\n", s.path.filename().c_str(),
                  static_cast<long long>(s.fileBytes), static_cast<long long>(s.framesRead()),
                  s.marked ? "marked" : "unmarked");
    }
    std::printf("  and %zu empty %s files\n", empty, label);
    // The first segment was cut short by the full disk: not marked.
    EXPECT_FALSE(segments.front().marked) << segments.front().path;
    EXPECT_LT(segments.front().audioBytesOnDisk(), kSegmentFrames * kBytesPerFrame);
    // A marked segment before the last is a whole five seconds.
    for (size_t i = 0; i + 1 < segments.size(); ++i) {
      if (segments[i].marked) {
        EXPECT_GE(segments[i].framesRead(), kSegmentFrames) << segments[i].path;
      }
    }
    // Recording resumed once there was room: the last segment holds the call from
    // then until the stop, and is marked.
    const SegmentFile& last = segments.back();
    EXPECT_TRUE(last.marked) << last.path;
    EXPECT_GE(last.framesRead(), kRate * 3 / 2) << last.path;
    EXPECT_LE(last.framesRead(), int64_t((secondsWithRoom + 0.2) * kRate)) << last.path;
  }
}

// Full before the first sample: both tracks fail to open segment after segment
// at the same time, on their own threads, until there is room.
TEST_F(StorageFaults, AFullDiskAtLaunchRecordsNothingUntilThereIsRoom) {
  if (!mountFailure().empty()) {
    GTEST_SKIP() << mountFailure();
  }
  Tmpfs disk(scratch_.path() / "disk", 2 << 20);
  ASSERT_EQ(disk.failure(), "");
  const fs::path directory = disk.path() / "segments";
  fs::create_directories(directory);
  const fs::path filler = disk.path() / "filler";
  ASSERT_GT(fillFileSystem(filler), 0);

  const Call call = playCall(*daemon_);
  ASSERT_TRUE(call.player);
  Agent agent(directory, control());
  ASSERT_TRUE(agent.becomesReady(5s));
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(agent.running()) << agent.standardError();
  const std::string errorsWhileFull = agent.standardError();
  EXPECT_TRUE(readyMarkers(directory).empty());
  fs::remove(filler);
  const auto freedAt = Clock::now();

  std::this_thread::sleep_for(1500ms);
  ASSERT_NO_FATAL_FAILURE(agent.stopInOrder());
  const double secondsWithRoom = std::chrono::duration<double>(agent.endedAt() - freedAt).count();
  const std::string errors = agent.standardError();

  for (const char* label : {"interviewer", "candidate"}) {
    SCOPED_TRACE(label);
    const auto lines =
        linesStartingWith(errorsWhileFull, std::string("Velkin ") + label + " writer error: ");
    ASSERT_FALSE(lines.empty()) << errors;
    EXPECT_NE(lines.front().find("No space left on device"), std::string::npos) << lines.front();
    const std::vector<SegmentFile> segments = readSegments(directory, label);
    ASSERT_FALSE(segments.empty());
    std::printf("%s: %zu error lines and %zu files while full\n", label, lines.size(),
                segments.size() - 1);
    // Nothing but the last file holds audio; it began once there was room.
    for (size_t i = 0; i + 1 < segments.size(); ++i) {
      EXPECT_FALSE(segments[i].marked) << segments[i].path;
      EXPECT_EQ(segments[i].fileBytes, 0) << segments[i].path;
    }
    const SegmentFile& last = segments.back();
    EXPECT_TRUE(last.marked) << last.path;
    EXPECT_TRUE(isComplete(last));
    EXPECT_TRUE(holdsPlayedNoise(last));
    EXPECT_GE(last.framesRead(), kRate) << last.path;
    EXPECT_LE(last.framesRead(), int64_t((secondsWithRoom + 0.2) * kRate)) << last.path;
  }
}

TEST_F(StorageFaults, AReadOnlySegmentDirectoryIsReportedAndNothingIsMarked) {
  if (!mountFailure().empty()) {
    GTEST_SKIP() << mountFailure();
  }
  Tmpfs disk(scratch_.path() / "disk", 1 << 20);
  ASSERT_EQ(disk.failure(), "");
  fs::create_directories(disk.path() / "segments");
  ASSERT_EQ(disk.makeReadOnly(), "");
  expectRunWithoutSegments(disk.path() / "segments", "Read-only file system");
  EXPECT_TRUE(fs::is_empty(disk.path() / "segments"));
}

TEST_F(StorageFaults, ASegmentDirectoryBelowARegularFileIsReportedAndNothingIsMarked) {
  const fs::path file = scratch_.path() / "file";
  std::ofstream(file) << "not a directory";
  expectRunWithoutSegments(file / "segments", "Not a directory");
  EXPECT_TRUE(fs::is_regular_file(file));
}

}  // namespace
}  // namespace velkin::faults
