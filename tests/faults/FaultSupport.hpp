#pragma once

// What the fault tests share: the agent binary as a child process, mounts of
// their own, a record of what happens in a directory, and the segment files
// checked byte by byte.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"
#include "Segments.hpp"

namespace velkin::faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::readyMarkers;
using testing::ScratchDirectory;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int64_t kBytesPerFrame = 2 * kChannels;
constexpr int64_t kSegmentFrames = 5 * kRate;

// Mounting needs root, or root of a user namespace of our own. Called once by
// main() while the process is still single-threaded: moves the process into a
// mount namespace of its own, so that a test that dies leaves no mount behind.
// Not root and no namespace to be had: mountFailure() says why, and the tests
// that mount are skipped with that reason.
void prepareMountNamespace(int argc, char** argv);
const std::string& mountFailure();

// A tmpfs of `bytes` mounted at `mountPoint` (created if needed), unmounted when
// this goes, however the test ends.
class Tmpfs {
 public:
  Tmpfs(const fs::path& mountPoint, int64_t bytes);
  ~Tmpfs();
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  // Empty once mounted; otherwise why not.
  const std::string& failure() const { return failure_; }
  const fs::path& path() const { return mountPoint_; }
  // Remounts read-only; empty on success, otherwise why not.
  std::string makeReadOnly();
  int64_t freeBytes() const;

 private:
  fs::path mountPoint_;
  bool mounted_ = false;
  std::string failure_;
};

// Takes every free byte of the file system that holds `path` into that file;
// the number of bytes taken. Other writers may race for the last pages, so it
// keeps going in smaller steps until nothing more fits.
int64_t fillFileSystem(const fs::path& path);

// The agent binary, started as its parent starts it: segment and control
// directories and, if given, the parent's pid.
class Agent : public testing::AgentProcess {
 public:
  Agent(const fs::path& segments, const fs::path& control,
        std::optional<pid_t> parent = std::nullopt);

  // The readiness line for the segment directory on standard output, then
  // "ready" in the control directory's capture.ready, within `within` stretched
  // for a slow build.
  ::testing::AssertionResult becomesReady(std::chrono::milliseconds within);

  // Creates capture.stop the way a parent asks for the end of a run.
  void requestStop() const;
  // Asks for the end of the run and expects it within 3 s (stretched for a slow
  // build): status 0 and no sanitizer report. Fatal when the agent still runs.
  void stopInOrder();

 private:
  fs::path segments_;
  fs::path control_;
};

double secondsSince(Clock::time_point then);

// Lines of `text` that start with `prefix`.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

// A sanitizer's report in the agent's standard error, if there is one.
::testing::AssertionResult noSanitizerReport(const std::string& standardError);

// What happens to the entries of some directories, in the order it happens:
// creations, removals, renames and closes after writing.
class DirectoryEvents {
 public:
  explicit DirectoryEvents(const std::vector<fs::path>& directories);
  ~DirectoryEvents();
  DirectoryEvents(const DirectoryEvents&) = delete;
  DirectoryEvents& operator=(const DirectoryEvents&) = delete;

  struct Event {
    std::string what;  // "create", "delete", "moved-to", "moved-from", "closed"
    fs::path path;     // directory / name
  };
  // Every event so far, oldest first. Empty `failure()` when the watches stand.
  const std::vector<Event>& events();
  const std::string& failure() const { return failure_; }
  // The position of the first `what` on `path` in events(), if any.
  std::optional<size_t> first(const std::string& what, const fs::path& path);
  std::string describe();

 private:
  int fd_ = -1;
  std::vector<std::pair<int, fs::path>> watches_;
  std::vector<Event> events_;
  std::string failure_;
};

// One segment file as it lies on disk: the CAF chunks as written, and what
// libsndfile reads of it.
struct SegmentFile : testing::Segment {
  int64_t fileBytes = 0;
  // From the CAF chunks; `problem` says what is wrong with them.
  std::string problem;
  double sampleRate = 0;
  uint32_t formatFlags = 0;
  uint32_t channels = 0;
  uint32_t bitsPerChannel = 0;
  int64_t audioOffset = 0;          // where the audio bytes start
  int64_t declaredAudioBytes = -1;  // the data chunk's claim; -1 for "to the end"

  int64_t audioBytesOnDisk() const { return fileBytes - audioOffset; }
};

SegmentFile readSegmentFile(const fs::path& path);

// The numbered segment files of `label` in `directory`, in order of number.
std::vector<SegmentFile> readSegments(const fs::path& directory, const std::string& label);

// A finished segment: 48 kHz, 2 channels, 16-bit little-endian PCM; its data
// chunk ends exactly at the end of the file and holds whole frames, and
// libsndfile reads every one of them.
::testing::AssertionResult isComplete(const SegmentFile& segment);

// The frames read are the call as played: both channels alike, within the
// player's amplitude, and some of it loud enough to be the noise (not silence).
::testing::AssertionResult holdsPlayedNoise(const SegmentFile& segment);

// The call: noise on the call sink and the microphone's feed, the same on both
// channels of each, behind sinks that were settled first.
struct Call {
  std::unique_ptr<testing::Player> quiet;
  std::unique_ptr<testing::Player> player;
};
Call playCall(const testing::PulseDaemon& daemon);

// A private audio server and a scratch directory for each test; the agent's
// segment and control directories live in the scratch directory unless a test
// puts the segments elsewhere.
class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override;

  fs::path segments() const { return scratch_.path() / "segments"; }
  fs::path control() const { return scratch_.path() / "control"; }

  ScratchDirectory scratch_{"velkin-faults"};
  std::unique_ptr<testing::PulseDaemon> daemon_ = std::make_unique<testing::PulseDaemon>();
};

}  // namespace velkin::faults
