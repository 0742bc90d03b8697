// The agent as its parent sees it: a real process over the scripted host, read
// through its exit status, its output lines and its control directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "AgentProcess.hpp"
#include "Segments.hpp"

namespace velkin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::AgentProcess;
using testing::readFile;
using testing::waitFor;

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.empty()); }

  // `executable` (the scripted agent by default) in `cwd` (the scratch
  // directory by default), with only the given scenario in its environment.
  std::unique_ptr<AgentProcess> launch(std::vector<std::string> arguments,
                                       const std::string& scenario = "", const fs::path& cwd = {},
                                       const fs::path& executable = VELKIN_SCRIPTED_AGENT) {
    return std::make_unique<AgentProcess>(
        executable, std::move(arguments),
        AgentProcess::Options{{"VELKIN_SCENARIO=" + scenario}, cwd.empty() ? root_ : cwd});
  }

  testing::ScratchDirectory scratch_{"velkin-process"};
  fs::path root_ = scratch_.path();
};

bool entryAt(const fs::path& p) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(p, ignored));
}

TEST_F(ProcessTest, DefaultAndRelativePathsResolveAgainstTheWorkingDirectory) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    fs::path segments;  // relative to the working directory
    fs::path control;
  };
  const Case cases[] = {
      {"none", {}, "runtime/segments", "runtime/capture-control"},
      {"relative", {"segs"}, "segs", "capture-control"},
      {"trailingSeparator",
       {"deep/run7/segments/"},
       "deep/run7/segments",
       "deep/run7/capture-control"},
      {"both", {"x/segs", "ctl"}, "x/segs", "ctl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path cwd = root_ / c.name / "a";
    fs::create_directories(cwd);
    auto agent = launch(c.arguments, "", cwd);
    const fs::path control = cwd / c.control;
    ASSERT_TRUE(waitFor([&] { return entryAt(control / "capture.ready"); }, 10s));
    EXPECT_TRUE(fs::is_directory(cwd / c.segments));
    EXPECT_EQ(readFile(control / "capture.pid"), std::to_string(agent->pid()));
    EXPECT_EQ(readFile(control / "capture.ready"), "ready");
    std::ofstream(control / "capture.stop").put('x');
    ASSERT_EQ(agent->waitForExit(5s), 0);
    EXPECT_EQ(agent->standardOutput(),
              "VELKIN_CAPTURE_READY " + (cwd / c.segments).string() + "\n");
    EXPECT_TRUE(entryAt(control / "capture.stop")) << "the agent never removes a seen stop file";
    // Only the temporary-free control files remain.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(control)) {
      names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"capture.pid", "capture.ready", "capture.stop"}));
  }
}

TEST_F(ProcessTest, StaleControlFilesAreGoneBeforeThePidFileAndAStopDuringStartIsSeenAtOnce) {
  const fs::path control = root_ / "capture-control";
  fs::create_directories(control / "capture.stop");  // a stale stop of any kind
  std::ofstream(control / "capture.stop" / "inside").put('x');
  std::ofstream(control / "capture.ready") << "ready";
  std::ofstream(control / "capture.error") << "old failure";
  std::ofstream(control / "capture.pid") << "99999999999";
  const fs::path gate = root_ / "gate";

  auto agent = launch({(root_ / "segments").string()}, "start-gate=" + gate.string());
  // The start is held at the gate: preparation is complete by now.
  ASSERT_TRUE(waitFor(
      [&] { return readFile(control / "capture.pid") == std::to_string(agent->pid()); }, 10s));
  EXPECT_FALSE(entryAt(control / "capture.ready"));
  EXPECT_FALSE(entryAt(control / "capture.error"));
  EXPECT_FALSE(entryAt(control / "capture.stop"));

  // A stop requested while the start is pending is seen at the first poll,
  // right after readiness, without waiting a poll interval. The limit stays
  // below one interval however slow the build: above it, it could not tell the
  // two apart.
  std::ofstream(control / "capture.stop").put('x');
  std::ofstream(gate).put('x');
  const auto opened = std::chrono::steady_clock::now();
  ASSERT_EQ(agent->waitForExit(5s), 0);
  EXPECT_LT(agent->endedAt() - opened, testing::kAgentPollInterval - 100ms);
  EXPECT_EQ(readFile(control / "capture.ready"), "ready");
}

TEST_F(ProcessTest, ADirectoryNamedStopStopsTheAgent) {
  const fs::path control = root_ / "capture-control";
  auto agent = launch({(root_ / "segments").string()});
  ASSERT_TRUE(waitFor([&] { return entryAt(control / "capture.ready"); }, 10s));
  EXPECT_EQ(agent->waitForExit(600ms), std::nullopt) << "the agent must keep running";
  fs::create_directory(control / "capture.stop");
  EXPECT_EQ(agent->waitForExit(2s), 0);
}

TEST_F(ProcessTest, AParentThatEndsStopsTheAgentWithinOnePoll) {
  const pid_t parent = ::fork();
  if (parent == 0) {
    ::pause();
    ::_exit(0);
  }
  auto agent =
      launch({(root_ / "segments").string(), (root_ / "control").string(), std::to_string(parent)});
  ASSERT_TRUE(waitFor([&] { return entryAt(root_ / "control" / "capture.ready"); }, 10s));
  EXPECT_EQ(agent->waitForExit(600ms), std::nullopt) << "a living parent keeps the agent running";
  ::kill(parent, SIGKILL);
  int status = 0;
  ::waitpid(parent, &status, 0);
  const auto gone = std::chrono::steady_clock::now();
  ASSERT_EQ(agent->waitForExit(3s), 0);
  // One poll interval, and the stop.
  EXPECT_LT(agent->endedAt() - gone, testing::kAgentPollInterval + testing::stretched(200ms));
  EXPECT_FALSE(entryAt(root_ / "control" / "capture.stop"));
}

TEST_F(ProcessTest, AParentPidThatIsNotANumberIsNoParent) {
  auto agent = launch({(root_ / "segments").string(), (root_ / "control").string(), " 12"});
  ASSERT_TRUE(waitFor([&] { return entryAt(root_ / "control" / "capture.ready"); }, 10s));
  EXPECT_EQ(agent->waitForExit(700ms), std::nullopt);
  std::ofstream(root_ / "control" / "capture.stop").put('x');
  EXPECT_EQ(agent->waitForExit(2s), 0);
}

TEST_F(ProcessTest, AFailedStartWritesTheErrorFileAndOneLineAndExitsWithOne) {
  struct Case {
    const char* scenario;
    const char* description;
  };
  const Case cases[] = {
      {"screen-preflight=false;screen-request=false", "Screen Recording permission denied"},
      {"mic-status=2", "Microphone permission is not authorized"},
      {"displays=none", "No display found"},
      {"content-error=Connection refused", "Connection refused"},
      {"start-error=No microphone: the audio server has no input device",
       "No microphone: the audio server has no input device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    const fs::path control = root_ / c.description / "control";
    auto agent =
        launch({(root_ / c.description / "segments").string(), control.string()}, c.scenario);
    ASSERT_EQ(agent->waitForExit(10s), 1);
    EXPECT_EQ(readFile(control / "capture.error"), c.description);
    EXPECT_EQ(agent->standardError(), std::string("Velkin capture error: ") + c.description + "\n");
    EXPECT_EQ(agent->standardOutput(), "");
    EXPECT_FALSE(entryAt(control / "capture.ready"));
    EXPECT_EQ(readFile(control / "capture.pid"), std::to_string(agent->pid()));
  }
}

TEST_F(ProcessTest, ADeletedWorkingDirectoryFailsTheStartInsteadOfWritingAtTheRoot) {
  const fs::path gone = root_ / "gone";
  fs::create_directories(gone);
  // The shell enters the directory, removes it and becomes the agent.
  const std::string script = "cd '" + gone.string() + "' && rmdir '" + gone.string() +
                             "' && exec '" + VELKIN_SCRIPTED_AGENT + "' \"$@\"";
  auto relative = launch({"-c", script, "sh", "segs"}, "", root_, "/bin/sh");
  ASSERT_EQ(relative->waitForExit(10s), 1);
  EXPECT_EQ(relative->standardError(),
            "Velkin capture error: The current directory is unavailable: No such file or "
            "directory\n");
  EXPECT_FALSE(entryAt("/runtime/segments"));

  fs::create_directories(gone);
  auto absolute = launch({"-c", script, "sh", (root_ / "segs").string(), (root_ / "ctl").string()},
                         "", root_, "/bin/sh");
  ASSERT_TRUE(waitFor([&] { return entryAt(root_ / "ctl" / "capture.ready"); }, 10s));
  std::ofstream(root_ / "ctl" / "capture.stop").put('x');
  EXPECT_EQ(absolute->waitForExit(5s), 0);
}

struct Track {
  int64_t frames = 0;
  int segments = 0;
  int marked = 0;
};

// Reads every segment of `label` back and checks its format.
Track readTrack(const fs::path& directory, const std::string& label) {
  Track track;
  for (const testing::Segment& segment : testing::readSegments(directory, label)) {
    ++track.segments;
    track.marked += segment.marked ? 1 : 0;
    EXPECT_TRUE(segment.valid) << segment.path;
    track.frames += segment.frames;
  }
  return track;
}

TEST_F(ProcessTest, AnOrderlyStopLeavesEveryRecordedFrameInMarkedSegments) {
  const fs::path segments = root_ / "segments";
  auto agent = launch({segments.string(), (root_ / "control").string()},
                      "audio-seconds=12;microphone-seconds=7;screen-frames=3");
  ASSERT_TRUE(waitFor([&] { return entryAt(segments / "interviewer-000003.caf"); }, 10s));
  ASSERT_TRUE(waitFor([&] { return entryAt(segments / "candidate-000002.caf"); }, 10s));
  std::ofstream(root_ / "control" / "capture.stop").put('x');
  ASSERT_EQ(agent->waitForExit(5s), 0);

  const Track interviewer = readTrack(segments, "interviewer");
  EXPECT_EQ(interviewer.segments, 3);
  EXPECT_EQ(interviewer.marked, 3);
  EXPECT_EQ(interviewer.frames, 12 * 48000);
  const Track candidate = readTrack(segments, "candidate");
  EXPECT_EQ(candidate.segments, 2);
  EXPECT_EQ(candidate.marked, 2);
  EXPECT_EQ(candidate.frames, 7 * 48000);

  const std::string err = agent->standardError();
  for (const char* kind : {"audio", "microphone", "screen"}) {
    const std::string line = std::string("VELKIN_CAPTURE_FIRST_OUTPUT ") + kind + "\n";
    EXPECT_NE(err.find(line), std::string::npos) << kind;
    EXPECT_EQ(err.find(line), err.rfind(line)) << kind << " announced twice";
  }
}

TEST_F(ProcessTest, AStreamThatStopsByItselfExitsWithOneAndMarksWhatItFinished) {
  const fs::path segments = root_ / "segments";
  const fs::path control = root_ / "control";
  auto agent = launch({segments.string(), control.string()},
                      "audio-seconds=11;microphone-seconds=11;fail-after-delivery=Connection "
                      "terminated");
  ASSERT_EQ(agent->waitForExit(10s), 1);
  const std::string err = agent->standardError();
  const std::string stopped =
      "Velkin capture stopped: Error Domain=ScriptedHost Code=1 \"Connection terminated\"\n";
  EXPECT_NE(err.find(stopped), std::string::npos) << err;
  EXPECT_EQ(err.find(stopped), err.rfind(stopped));
  EXPECT_EQ(err.find("Velkin capture error"), std::string::npos);
  EXPECT_FALSE(entryAt(control / "capture.error"));
  EXPECT_EQ(readFile(control / "capture.ready"), "ready");
  for (const char* label : {"interviewer", "candidate"}) {
    SCOPED_TRACE(label);
    const Track track = readTrack(segments, label);
    EXPECT_EQ(track.segments, 3);
    EXPECT_EQ(track.marked, 3);
    EXPECT_EQ(track.frames, 11 * 48000);
  }
}

}  // namespace
}  // namespace velkin
