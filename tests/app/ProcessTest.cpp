// The agent as its parent sees it: a real process over the scripted host, read
// through its exit status, its output lines and its control directory.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "AgentProcess.hpp"
#include "Segments.hpp"

namespace velkin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::AgentProcess;
using testing::readFile;
using testing::waitFor;
using Files = std::map<std::string, std::string>;

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

// Every entry's name and content; none for a missing directory.
Files contents(const fs::path& directory) {
  Files files;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(directory, missing)) {
    files[entry.path().filename().string()] = readFile(entry.path());
  }
  return files;
}

// Once "capture.ready" is there, the agent keeps running until its stop file
// (here a directory, which counts as well); then its exit status.
std::optional<int> runUntilStopped(AgentProcess& agent, const fs::path& control) {
  EXPECT_TRUE(waitFor([&] { return entryAt(control / "capture.ready"); }, 10s));
  EXPECT_EQ(agent.waitForExit(600ms), std::nullopt) << "the agent must keep running";
  fs::create_directories(control / "capture.stop");
  return agent.waitForExit(5s);
}

TEST_F(ProcessTest, PathsResolveAgainstTheWorkingDirectoryWhichOnlyTheStartsThatNeedItNeed) {
  const fs::path cwd = root_ / "cwd", gone = root_ / "gone", control = root_ / "control";
  struct Case {
    std::vector<std::string> arguments;
    bool deleted;    // the working directory is gone before the agent starts
    fs::path used;   // the control directory; empty when none can be known
    fs::path ready;  // the readiness line's directory; empty for a failed start
  };
  const Case cases[] = {
      {{}, false, cwd / "runtime/capture-control", cwd / "runtime/segments"},
      {{"x/segs", "ctl/"}, false, cwd / "ctl", cwd / "x/segs"},
      {{at("segs"), control.string()}, true, control, root_ / "segs"},
      {{at("segs")}, true, root_ / "capture-control", root_ / "segs"},
      {{"segs"}, true, "", ""},
      {{"segs", control.string()}, true, control, ""},
      {{at("segs"), "ctl"}, true, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "none" : c.arguments.back());
    fs::remove_all(control);
    fs::create_directories(cwd);
    fs::create_directories(gone);
    fs::create_directories(control);
    std::ofstream(control / "capture.ready") << "ready";  // an earlier run's
    std::ofstream(control / "capture.error") << "old";
    std::vector<std::string> arguments = c.arguments;
    if (c.deleted) {  // the shell enters the directory, removes it and becomes the agent
      arguments.insert(arguments.begin(), {"-c", "cd \"$0\" && rmdir \"$0\" && exec \"$@\"",
                                           gone.string(), VELKIN_SCRIPTED_AGENT});
    }
    auto agent = launch(arguments, "", c.deleted ? gone : cwd,
                        c.deleted ? "/bin/sh" : VELKIN_SCRIPTED_AGENT);
    const std::string pid = std::to_string(agent->pid());
    if (!c.ready.empty()) {
      EXPECT_EQ(runUntilStopped(*agent, c.used), 0);
      EXPECT_EQ(agent->standardOutput(), "VELKIN_CAPTURE_READY " + c.ready.string() + "\n");
      EXPECT_EQ(contents(c.used),
                (Files{{"capture.pid", pid}, {"capture.ready", "ready"}, {"capture.stop", ""}}));
      EXPECT_TRUE(fs::is_empty(c.ready));
      continue;
    }
    ASSERT_EQ(agent->waitForExit(10s), 1);
    const std::string error = "The current directory is unavailable: No such file or directory";
    EXPECT_EQ(agent->standardError(), "Velkin capture error: " + error + "\n");
    EXPECT_FALSE(entryAt("/runtime") || entryAt("/segs") || entryAt("/ctl"));
    EXPECT_EQ(contents(control),
              (c.used.empty() ? Files{{"capture.error", "old"}, {"capture.ready", "ready"}}
                              : Files{{"capture.error", error}, {"capture.pid", pid}}));
  }
}

// Whether `pid` has a handler of its own for `signal`, as the kernel reports it.
bool catches(pid_t pid, int signal) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("SigCgt:\t");
  return at != std::string::npos &&
         (std::stoull(status.substr(at + 8), nullptr, 16) >> (signal - 1)) & 1;
}

TEST_F(ProcessTest, DuringAHeldStartStaleFilesAreGoneAndAStopIsSeenAtOnceOrASecondSignalEndsIt) {
  const fs::path control = root_ / "capture-control";
  const fs::path gate = root_ / "gate";
  for (const bool signalTwice : {false, true}) {
    if (!signalTwice) {  // a stale stop of any kind; the next round meets the last one's file
      fs::create_directories(control / "capture.stop" / "inside");
    }
    std::ofstream(control / "capture.ready") << "ready";
    std::ofstream(control / "capture.error") << "old failure";
    auto agent = launch({at("segments")}, "start-gate=" + gate.string());
    // Held at the gate: the preparation is complete.
    const Files prepared = {{"capture.pid", std::to_string(agent->pid())}};
    ASSERT_TRUE(waitFor([&] { return contents(control) == prepared; }, 10s));
    if (signalTwice) {
      agent->signal(SIGTERM);
      // The first asked for the orderly stop and gave the signal back to its default.
      ASSERT_TRUE(waitFor([&] { return !catches(agent->pid(), SIGTERM); }, 5s));
      agent->signal(SIGTERM);
      EXPECT_EQ(agent->waitForExit(5s), 128 + SIGTERM);
      continue;
    }
    // Seen at the first poll, right after readiness, without waiting a poll
    // interval; the limit stays below one however slow the build.
    std::ofstream(control / "capture.stop").put('x');
    std::ofstream(gate).put('x');
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_EQ(agent->waitForExit(5s), 0);
    EXPECT_LT(agent->endedAt() - opened, testing::kAgentPollInterval - 100ms);
    EXPECT_EQ(readFile(control / "capture.ready"), "ready");
    fs::remove(gate);
  }
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
    auto agent = launch({at("segments"), control.string(), std::to_string(parent)});
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

TEST_F(ProcessTest, BadStartsFailWithTheirReasonAndOddOnesRunUntilTheirStop) {
  struct Case {
    std::string name;
    std::vector<std::string> arguments;  // "@" is the case's own control directory
    int status;
    // After a failed start its description; for an agent that runs, its standard error.
    std::string text;
    std::string scenario = "";
    std::vector<std::string> launcher = {};  // what runs the agent instead of itself
  };
  const std::string file = at("file"), s = at("s"), ro = at("ro");
  std::ofstream(file).put('x');
  fs::create_directories(ro);  // read-only for everyone, root included, while it is mounted
  const bool mounted = ::mount("velkin-test", ro.c_str(), "tmpfs", MS_RDONLY, nullptr) == 0;
  const std::shared_ptr<void> unmount(nullptr,
                                      [&](void*) { (void)(mounted && ::umount(ro.c_str()) == 0); });
  const auto noParent = [](const std::string& pid) {
    return "Velkin capture warning: the parent pid " + pid +
           " names no single process; no parent is watched\n";
  };
  std::vector<Case> cases = {
      {"segmentsFile",
       {file, "@"},
       1,
       "The segment directory " + file + " is unusable: Not a directory"},
      {"controlFile",
       {s, file},
       1,
       "The control directory " + file + " is unusable: Not a directory"},
      {"newline",
       {at("s\nVELKIN_CAPTURE_READY /x"), "@"},
       1,
       "The segment directory " + at("s\\x0aVELKIN_CAPTURE_READY /x") +
           " has a control character in its path"},
      {"denied",
       {s, "@"},
       1,
       "Screen Recording permission denied",
       "screen-preflight=false;screen-request=false"},
      {"pidZero", {s, "@", "0"}, 0, noParent("0")},
      {"pidMinusOne", {s, "@", "-1"}, 0, noParent("-1")},
      {"pidMinusFive", {s, "@", "-5"}, 0, noParent("-5")},
      {"pidNotANumber", {s, "@", " 12"}, 0, ""},
      // A pipe that nobody reads any more: the readiness line meets EPIPE.
      {"noReader",
       {s, "@"},
       0,
       "",
       "",
       {"/usr/bin/perl", "-e", "pipe(R, W); close R; open(STDOUT, '>&', W); exec @ARGV"}},
  };
  if (mounted) {
    cases.push_back({"segmentsReadOnly",
                     {ro, "@"},
                     1,
                     "The segment directory " + ro + " cannot hold files: Read-only file system"});
    cases.push_back(
        {"controlReadOnly",
         {s, ro},
         1,
         "The control directory " + ro + " cannot hold capture.pid: Read-only file system"});
  }
  if (::geteuid() == 0) {
    // As nobody, the agent may not signal its parent (this root process), which is alive all the
    // same.
    fs::permissions(root_, fs::perms::all);
    fs::create_directories(at("nobody"));
    fs::permissions(at("nobody"), fs::perms::all);
    cases.push_back({"nobody/control",
                     {at("nobody/s"), "@", std::to_string(::getpid())},
                     0,
                     "",
                     "",
                     {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}});
  }
  if (cases.size() < 12) {
    std::cout << "Not root: the read-only mount and another user's parent are not tried\n";
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool own = c.arguments[1] == "@";
    const fs::path control = own ? root_ / c.name : fs::path(c.arguments[1]);
    c.arguments[1] = control.string();
    fs::path executable = VELKIN_SCRIPTED_AGENT;
    if (!c.launcher.empty()) {
      c.arguments.insert(c.arguments.begin(), executable.string());
      c.arguments.insert(c.arguments.begin(), c.launcher.begin() + 1, c.launcher.end());
      executable = c.launcher.front();
    }
    auto agent = launch(c.arguments, c.scenario, {}, executable);
    if (c.status == 0) {
      EXPECT_EQ(runUntilStopped(*agent, control), 0);
      EXPECT_EQ(agent->standardError(), c.text);
      continue;
    }
    ASSERT_EQ(agent->waitForExit(10s), 1);
    EXPECT_EQ(agent->standardError(), "Velkin capture error: " + c.text + "\n");
    EXPECT_EQ(agent->standardOutput(), "");
    // Only a control directory of the run's own can hold the error.
    const std::string pid = std::to_string(agent->pid());
    EXPECT_EQ(contents(control),
              (own ? Files{{"capture.error", c.text}, {"capture.pid", pid}} : Files{}));
  }
}

TEST_F(ProcessTest, ASecondAgentOnEitherDirectoryFailsAndTouchesNothingOfTheFirst) {
  const fs::path segments = root_ / "segments", control = root_ / "control";
  auto first =
      launch({segments.string(), control.string()}, "audio-seconds=6;microphone-seconds=6");
  // Each track's first segment marked, its second open.
  ASSERT_TRUE(waitFor([&] { return contents(segments).size() == 6; }, 10s));
  const Files controlBefore = contents(control), segmentsBefore = contents(segments);
  for (const auto& [arguments, directory] : {std::pair{std::vector{segments.string(), at("other")},
                                                       "segment directory " + segments.string()},
                                             std::pair{std::vector{at("others"), control.string()},
                                                       "control directory " + control.string()}}) {
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

TEST_F(ProcessTest, AStopFileOrAStopSignalLeavesEveryRecordedFrameInMarkedSegments) {
  for (const int signal : {0, SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const fs::path segments = root_ / std::to_string(signal);
    auto agent = launch({segments.string()}, "audio-seconds=12;microphone-seconds=7");
    ASSERT_TRUE(waitFor([&] { return contents(segments).size() == 8; }, 10s));  // 5 files, 3 marked
    (void)(signal ? ::kill(agent->pid(), signal)
                  : ::mkdir(at("capture-control/capture.stop").c_str(), 0755));
    ASSERT_EQ(agent->waitForExit(5s), 0);
    for (const auto& [label, seconds] : {std::pair{"interviewer", 12}, std::pair{"candidate", 7}}) {
      int64_t frames = 0;
      for (const testing::Segment& segment : testing::readSegments(segments, label)) {
        EXPECT_TRUE(segment.valid && segment.marked) << segment.path;
        frames += segment.frames;
      }
      EXPECT_EQ(frames, seconds * 48000) << label;
    }
  }
}

}  // namespace
}  // namespace velkin
