// The agent as its parent sees it: a real process over the scripted host, read
// through its exit status, its output lines and its control directory.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
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
  std::string at(const fs::path& relative) const { return (root_ / relative).string(); }

  testing::ScratchDirectory scratch_{"velkin-process"};
  fs::path root_ = scratch_.path();
};

bool entryAt(const fs::path& p) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(p, ignored));
}

// Once "capture.ready" is there, the agent keeps running until it is asked to
// stop, here through its stop file; then its exit status.
std::optional<int> runUntilStopped(AgentProcess& agent, const fs::path& control) {
  EXPECT_TRUE(waitFor([&] { return entryAt(control / "capture.ready"); }, 10s));
  EXPECT_EQ(agent.waitForExit(600ms), std::nullopt) << "the agent must keep running";
  std::ofstream(control / "capture.stop").put('x');
  return agent.waitForExit(5s);
}

std::map<std::string, std::string> contents(const fs::path& directory) {
  std::map<std::string, std::string> files;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(directory, missing)) {
    files[entry.path().filename().string()] = readFile(entry.path());
  }
  return files;
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
    // A directory named like the stop file stops the agent as well.
    fs::create_directory(control / "capture.stop");
    ASSERT_EQ(agent->waitForExit(5s), 0);
    EXPECT_EQ(agent->standardOutput(),
              "VELKIN_CAPTURE_READY " + (cwd / c.segments).string() + "\n");
    EXPECT_TRUE(entryAt(control / "capture.stop")) << "the agent never removes a seen stop file";
    // Only the temporary-free control files remain, and nothing is left beside the segments.
    EXPECT_EQ(contents(control),
              (std::map<std::string, std::string>{{"capture.pid", std::to_string(agent->pid())},
                                                  {"capture.ready", "ready"},
                                                  {"capture.stop", ""}}));
    EXPECT_TRUE(fs::is_empty(cwd / c.segments));
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

  auto agent = launch({at("segments")}, "start-gate=" + gate.string());
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

TEST_F(ProcessTest, AParentThatEndsStopsTheAgentWithinOnePollReapedOrNot) {
  for (const bool reaped : {true, false}) {
    SCOPED_TRACE(reaped ? "reaped" : "not reaped");
    const pid_t parent = ::fork();
    if (parent == 0) {
      ::pause();
      ::_exit(0);
    }
    const fs::path control = root_ / std::to_string(parent);
    auto agent =
        launch({(control / "segments").string(), control.string(), std::to_string(parent)});
    ASSERT_TRUE(waitFor([&] { return entryAt(control / "capture.ready"); }, 10s));
    EXPECT_EQ(agent->waitForExit(600ms), std::nullopt) << "a living parent keeps the agent running";
    ::kill(parent, SIGKILL);
    const auto gone = std::chrono::steady_clock::now();
    if (reaped) {
      ::waitpid(parent, nullptr, 0);
    }
    const std::optional<int> status = agent->waitForExit(3s);
    ::waitpid(parent, nullptr, 0);
    ASSERT_EQ(status, 0);
    // One poll interval, and the stop.
    EXPECT_LT(agent->endedAt() - gone, testing::kAgentPollInterval + testing::stretched(200ms));
  }
}

// Read-only for everyone, root included, while it lives.
struct ReadOnlyMount {
  explicit ReadOnlyMount(const fs::path& at) : path(at) {
    fs::create_directories(path);
    mounted = ::mount("velkin-test", path.c_str(), "tmpfs", MS_RDONLY, nullptr) == 0;
  }
  ~ReadOnlyMount() {
    if (mounted) {
      ::umount(path.c_str());
    }
  }
  fs::path path;
  bool mounted = false;
};

TEST_F(ProcessTest, BadStartsFailWithTheirReasonAndOddOnesRunUntilTheirStop) {
  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    std::string scenario;
    int status;
    // After a failed start its description; for an agent that runs, the whole
    // of its standard error.
    std::string text;
    bool errorFile = true;                   // whether the control directory can hold the error
    std::vector<std::string> launcher = {};  // what runs the agent instead of itself
  };
  const std::string file = at("file");
  std::ofstream(file).put('x');
  const ReadOnlyMount readOnly(root_ / "ro");
  const std::string ro = readOnly.path.string();
  const auto control = [&](const std::string& name) { return at(name + "/control"); };
  const auto noParent = [](const std::string& pid) {
    return "Velkin capture warning: the parent pid " + pid +
           " names no single process; no parent is watched\n";
  };
  std::vector<Case> cases = {
      {"segmentsAreAFile",
       {file, control("segmentsAreAFile")},
       "",
       1,
       "The segment directory " + file + " is unusable: Not a directory"},
      {"controlIsAFile",
       {at("s"), file},
       "",
       1,
       "The control directory " + file + " is unusable: Not a directory",
       false},
      {"newline",
       {at("s\nVELKIN_CAPTURE_READY /tmp/evil"), control("newline")},
       "",
       1,
       "The segment directory " + at("s\\x0aVELKIN_CAPTURE_READY /tmp/evil") +
           " has a control character in its path"},
      {"denied",
       {at("s"), control("denied")},
       "screen-preflight=false;screen-request=false",
       1,
       "Screen Recording permission denied"},
      {"noMicrophone",
       {at("s"), control("noMicrophone")},
       "start-error=No microphone",
       1,
       "No microphone"},
      {"pidZero", {at("s"), control("pidZero"), "0"}, "", 0, noParent("0")},
      {"pidMinusOne", {at("s"), control("pidMinusOne"), "-1"}, "", 0, noParent("-1")},
      {"pidMinusFive", {at("s"), control("pidMinusFive"), "-5"}, "", 0, noParent("-5")},
      {"pidNotANumber", {at("s"), control("pidNotANumber"), " 12"}, "", 0, ""},
      // A pipe nobody reads any more: the readiness line meets EPIPE.
      {"noReader",
       {at("s"), control("noReader")},
       "",
       0,
       "",
       false,
       {"/usr/bin/perl", "-e", "pipe(R, W); close R; open(STDOUT, '>&', W); exec @ARGV"}},
  };
  if (readOnly.mounted) {
    cases.push_back({"segmentsReadOnly",
                     {ro, control("segmentsReadOnly")},
                     "",
                     1,
                     "The segment directory " + ro + " cannot hold files: Read-only file system"});
    cases.push_back(
        {"controlReadOnly",
         {at("s"), ro},
         "",
         1,
         "The control directory " + ro + " cannot hold capture.pid: Read-only file system",
         false});
  } else {
    std::cout << "No read-only mount: those cases are not tried\n";
  }
  if (::geteuid() == 0) {
    // Run as nobody, the agent may not signal its parent (this root process),
    // which is alive all the same.
    fs::permissions(root_, fs::perms::all);
    fs::create_directories(at("asNobody"));
    fs::permissions(at("asNobody"), fs::perms::all);
    cases.push_back({"asNobody",
                     {at("asNobody/s"), control("asNobody"), std::to_string(::getpid())},
                     "",
                     0,
                     "",
                     false,
                     {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}});
  } else {
    std::cout << "Not root: the parent owned by another user is not tried\n";
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path ctl = c.arguments.size() > 1 ? fs::path(c.arguments[1]) : fs::path();
    fs::path executable = VELKIN_SCRIPTED_AGENT;
    if (!c.launcher.empty()) {
      c.arguments.insert(c.arguments.begin(), executable.string());
      c.arguments.insert(c.arguments.begin(), c.launcher.begin() + 1, c.launcher.end());
      executable = c.launcher.front();
    }
    auto agent = launch(c.arguments, c.scenario, {}, executable);
    if (c.status == 0) {
      EXPECT_EQ(runUntilStopped(*agent, ctl), 0);
      EXPECT_EQ(agent->standardError(), c.text);
      continue;
    }
    ASSERT_EQ(agent->waitForExit(10s), 1);
    EXPECT_EQ(agent->standardError(), "Velkin capture error: " + c.text + "\n");
    EXPECT_EQ(agent->standardOutput(), "");
    EXPECT_FALSE(entryAt(ctl / "capture.ready"));
    if (c.errorFile) {
      EXPECT_EQ(readFile(ctl / "capture.error"), c.text);
      EXPECT_EQ(readFile(ctl / "capture.pid"), std::to_string(agent->pid()));
    }
  }
}

TEST_F(ProcessTest, AMissingWorkingDirectoryFailsOnlyTheStartsThatNeedIt) {
  const fs::path gone = root_ / "gone";
  const fs::path control = root_ / "ctl";
  struct Case {
    std::vector<std::string> arguments;
    int status;
  };
  const Case cases[] = {
      {{at("segs"), control.string()}, 0},
      {{at("segs")}, 0},  // the control directory beside it
      {{"segs"}, 1},
      {{"segs", control.string()}, 1},
      {{at("segs"), "ctl"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    fs::create_directories(gone);
    fs::remove_all(control);
    fs::create_directories(control);
    std::ofstream(control / "capture.ready") << "ready";  // an earlier run's
    std::ofstream(control / "capture.stop").put('x');
    // The shell enters the directory, removes it and becomes the agent.
    std::vector<std::string> arguments = {"-c", "cd \"$0\" && rmdir \"$0\" && exec \"$@\"",
                                          gone.string(), VELKIN_SCRIPTED_AGENT};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    auto agent = launch(arguments, "", root_, "/bin/sh");
    const fs::path used = c.arguments.size() > 1 ? control : root_ / "capture-control";
    if (c.status == 0) {
      EXPECT_EQ(runUntilStopped(*agent, used), 0);
      continue;
    }
    ASSERT_EQ(agent->waitForExit(10s), 1);
    const std::string error = "The current directory is unavailable: No such file or directory";
    EXPECT_EQ(agent->standardError(), "Velkin capture error: " + error + "\n");
    EXPECT_FALSE(entryAt("/runtime") || entryAt("/segs") || entryAt("/ctl"));
    // The earlier run's files are gone wherever the control directory is known.
    using Files = std::map<std::string, std::string>;
    const Files left =
        fs::path(c.arguments.back()).is_absolute()
            ? Files{{"capture.error", error}, {"capture.pid", std::to_string(agent->pid())}}
            : Files{{"capture.ready", "ready"}, {"capture.stop", "x"}};
    EXPECT_EQ(contents(control), left);
  }
}

TEST_F(ProcessTest, ASecondAgentOnEitherDirectoryFailsAndTouchesNothingOfTheFirst) {
  const fs::path segments = root_ / "segments";
  const fs::path control = root_ / "control";
  auto first =
      launch({segments.string(), control.string()}, "audio-seconds=6;microphone-seconds=6");
  ASSERT_TRUE(
      waitFor([&] { return contents(segments).size() == 6; }, 10s));  // two marked, two open
  const auto controlBefore = contents(control);
  const auto segmentsBefore = contents(segments);
  const std::pair<std::vector<std::string>, std::string> seconds[] = {
      {{segments.string(), at("other")}, "segment directory " + segments.string()},
      {{at("others"), control.string()}, "control directory " + control.string()},
  };
  for (const auto& [arguments, directory] : seconds) {
    auto second = launch(arguments);
    ASSERT_EQ(second->waitForExit(10s), 1);
    EXPECT_EQ(second->standardError(), "Velkin capture error: The " + directory +
                                           " is in use by the agent with pid " +
                                           std::to_string(first->pid()) + "\n");
    EXPECT_EQ(contents(control), controlBefore);
    EXPECT_EQ(contents(segments), segmentsBefore);
  }
  EXPECT_EQ(runUntilStopped(*first, control), 0);
}

int markedFrames(const fs::path& directory, const std::string& label) {
  int frames = 0;
  for (const testing::Segment& segment : testing::readSegments(directory, label)) {
    EXPECT_TRUE(segment.valid && segment.marked) << segment.path;
    frames += static_cast<int>(segment.frames);
  }
  return frames;
}

TEST_F(ProcessTest, AStopFileOrAStopSignalLeavesEveryRecordedFrameInMarkedSegments) {
  for (const int signal : {0, SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const fs::path segments = root_ / std::to_string(signal);
    auto agent =
        launch({segments.string()}, "audio-seconds=12;microphone-seconds=7;screen-frames=3");
    ASSERT_TRUE(waitFor([&] { return entryAt(segments / "interviewer-000003.caf"); }, 10s));
    ASSERT_TRUE(waitFor([&] { return entryAt(segments / "candidate-000002.caf"); }, 10s));
    if (signal == 0) {
      std::ofstream(root_ / "capture-control" / "capture.stop").put('x');
    } else {
      agent->signal(signal);
    }
    ASSERT_EQ(agent->waitForExit(5s), 0);
    EXPECT_EQ(markedFrames(segments, "interviewer"), 12 * 48000);
    EXPECT_EQ(markedFrames(segments, "candidate"), 7 * 48000);
    const std::string err = agent->standardError();
    for (const char* kind : {"audio", "microphone", "screen"}) {
      const std::string line = std::string("VELKIN_CAPTURE_FIRST_OUTPUT ") + kind + "\n";
      EXPECT_NE(err.find(line), std::string::npos) << kind;
      EXPECT_EQ(err.find(line), err.rfind(line)) << kind << " announced twice";
    }
  }
}

// Whether `pid` has a handler of its own for `signal`, as the kernel reports it.
bool catches(pid_t pid, int signal) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("SigCgt:\t");
  return at != std::string::npos &&
         (std::stoull(status.substr(at + 8), nullptr, 16) >> (signal - 1)) & 1;
}

TEST_F(ProcessTest, ASecondStopSignalEndsTheAgentAtOnce) {
  const fs::path gate = root_ / "gate";
  auto agent = launch({at("segments")}, "start-gate=" + gate.string());
  ASSERT_TRUE(waitFor([&] { return catches(agent->pid(), SIGTERM); }, 10s));
  agent->signal(SIGTERM);
  // The first asked for the orderly stop and handed the signal back to its default.
  ASSERT_TRUE(waitFor([&] { return !catches(agent->pid(), SIGTERM); }, 5s));
  agent->signal(SIGTERM);
  EXPECT_EQ(agent->waitForExit(5s), 128 + SIGTERM);
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
    EXPECT_EQ(testing::readSegments(segments, label).size(), 3u) << label;
    EXPECT_EQ(markedFrames(segments, label), 11 * 48000) << label;
  }
}

}  // namespace
}  // namespace velkin
