#pragma once

// The parent's side of velkin-capture: starts the agent, tells when it is
// capturing or why it failed, hands over each finished segment once, in the
// order of the call, and stops it. Needs only the standard library and POSIX.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkin::client {

enum class Track { interviewer, candidate };

// The track's name as the agent writes it in segment file names.
std::string_view trackName(Track track);

// How much of the call one full segment holds.
constexpr std::chrono::seconds kSegmentLength{5};

struct ReadySegment {
  Track track = Track::interviewer;
  int64_t number = 0;  // from 1
  std::filesystem::path file;

  // Where the segment starts in the call. The agent numbers a segment by its
  // place, on both tracks alike: segment N holds 5 (N - 1) s to 5 N s of the
  // call, a segment delayed by an outage keeps its number, and a number that
  // never comes is audio lost from the call, so later segments stay in place.
  std::chrono::seconds start() const { return (number - 1) * kSegmentLength; }
};

// One run of the agent. Not thread-safe: one thread, the owner's, makes every
// call. Nothing runs in the background; update() does the looking, so call it
// every tenth of a second or so.
class CaptureClient {
 public:
  struct Options {
    // The agent's binary; a name without a slash is looked up in PATH.
    std::filesystem::path agent = "velkin-capture";
    // Use a fresh one per call: each run numbers its segments from 1 and
    // replaces an earlier run's files of the same names.
    std::filesystem::path segmentDirectory;
    std::filesystem::path controlDirectory;
    // Where the agent's standard output goes ("VELKIN_CAPTURE_READY <dir>");
    // -1 for this process's own.
    int standardOutput = -1;
  };

  enum class Phase {
    notLaunched,
    starting,  // launched, not capturing yet
    capturing,
    failed,  // the start failed: failure() says why; the agent has exited
    ended,   // the agent exited after capturing: exitStatus() says how
  };

  explicit CaptureClient(Options options);
  // A run still going is asked to stop, and killed if it does not within two
  // seconds: the agent never outlives the object.
  ~CaptureClient();
  CaptureClient(const CaptureClient&) = delete;
  CaptureClient& operator=(const CaptureClient&) = delete;

  // Starts the agent in a session of its own (a Ctrl-C in the terminal reaches
  // the parent only, which stops the agent in order), with this process as its
  // parent: it stops by itself if this process dies. An error text when it could
  // not be started.
  [[nodiscard]] std::optional<std::string> launch();

  // Looks at the agent and its control files, and collects finished segments.
  // Returns the phase.
  Phase update();
  Phase phase() const { return phase_; }
  pid_t pid() const { return pid_; }
  // What "capture.error" said, or how the agent ended when it wrote none.
  const std::string& failure() const { return failure_; }
  // 128 + the signal when a signal ended it.
  std::optional<int> exitStatus() const { return exitStatus_; }

  // The segments finished since the last call, each once, in call-time order:
  // both tracks' segment N before either's N + 1. A segment waits for the other
  // track's segment of its number, unless the other track has moved past it
  // or has fallen a whole segment behind (its writer stalled or failed), or the
  // run has ended; after the end, everything left comes out.
  std::vector<ReadySegment> takeReadySegments();

  // Asks the agent to stop ("capture.stop") and waits for its exit until
  // `deadline`. Its exit status, or nothing when it was still running then (call
  // stop() again or kill()).
  [[nodiscard]] std::optional<int> stop(std::chrono::steady_clock::time_point deadline);
  // Ends the agent at once (SIGKILL) and reaps it. Its last segments stay
  // unmarked.
  void kill();

 private:
  void reap(bool block);
  void readControlFiles();
  void scanSegments();

  Options options_;
  Phase phase_ = Phase::notLaunched;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::optional<int> exitStatus_;
  std::string failure_;
  // This run's capture.pid, once seen: markers older than it are an earlier
  // run's leftovers.
  std::optional<std::filesystem::file_time_type> runStarted_;
  // (number, track): found and not handed out yet; handed out.
  std::set<std::pair<int64_t, Track>> pending_;
  std::set<std::pair<int64_t, Track>> handedOut_;
  // The highest number found per track.
  std::map<Track, int64_t> highest_;
};

}  // namespace velkin::client
