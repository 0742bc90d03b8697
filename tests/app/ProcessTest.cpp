// The agent as its parent sees it: a real process over the scripted host, read
// through its exit status, its output lines and its control directory.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <algorithm>
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

// Before any thread starts: the read-only mounts stay in this process.
const bool canMount = testing::privateMounts();

const std::string a = VELKIN_SCRIPTED_AGENT;

class ProcessTest : public ::testing::Test {
 protected:
  std::string at(const fs::path& relative) const { return (root_ / relative).string(); }

  testing::ScratchDirectory scratch_{"velkin-process"};
  fs::path root_ = scratch_.path();
};

// Every entry's name and content; none for a missing directory.
Files contents(const fs::path& directory) {
  Files files;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(directory, missing)) {
    files[entry.path().filename().string()] = readFile(entry.path());
  }
  return files;
}

// "capture.ready" appears, and the agent runs on for more than a poll.
bool keepsRunning(AgentProcess& agent, const fs::path& control) {
  return waitFor([&] { return fs::exists(control / "capture.ready"); }, 10s) &&
         agent.waitForExit(600ms) == std::nullopt;
}

// Whether `pid` has a handler of its own for `signal`, as the kernel reports it.
bool catches(pid_t pid, int signal) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("SigCgt:\t");
  return at != std::string::npos &&
         (std::stoull(status.substr(at + 8), nullptr, 16) >> (signal - 1)) & 1;
}

TEST_F(ProcessTest, StaleControlFilesAreGoneBeforeThePidFileAndAStopDuringStartIsSeenAtOnce) {
  const fs::path control = root_ / "capture-control", gate = root_ / "gate";
  fs::create_directories(control);
  fs::create_symlink("nowhere", control / "capture.stop");  // a stale stop, even a dangling link
  std::ofstream(control / "capture.ready") << "ready, and more from an earlier run";
  std::ofstream(control / "capture.error") << "old failure";
  AgentProcess agent({a, at("segments")}, "start-gate=" + gate.string());
  // Held at the gate: the preparation is complete.
  const Files prepared = {{"capture.pid", std::to_string(agent.pid())}};
  ASSERT_TRUE(waitFor([&] { return contents(control) == prepared; }, 10s));
  // Seen at the first poll, right after readiness, without waiting a poll
  // interval; the limit stays below one however slow the build.
  std::ofstream(control / "capture.stop").put('x');
  std::ofstream(gate).put('x');
  const auto opened = std::chrono::steady_clock::now();
  ASSERT_EQ(agent.waitForExit(5s), 0);
  EXPECT_LT(agent.endedAt() - opened, testing::kAgentPollInterval - 100ms);

  // Held at its start, an agent takes SIGTERM as the end of the start: a failed
  // one. Running, it takes a first SIGTERM as a stop request and gives the
  // signal back to its default action: a second ends it at once.
  AgentProcess held({a, at("held"), at("held-control")}, "start-gate=" + at("closed"));
  ASSERT_TRUE(waitFor([&] { return catches(held.pid(), SIGTERM); }, 10s));
  held.signal(SIGTERM);
  EXPECT_EQ(held.waitForExit(5s), 1);
  EXPECT_EQ(readFile(root_ / "held-control/capture.error"), "The start was cancelled by SIGTERM");
  // Its files never finish closing, so the stop lasts its whole grace and the
  // second signal finds it still running, however fast the machine.
  AgentProcess running({a, at("running")}, "audio-seconds=1;stall-finishes=true");
  ASSERT_TRUE(running.waitForReadiness(root_ / "running"));
  running.signal(SIGTERM);
  ASSERT_TRUE(waitFor([&] { return !catches(running.pid(), SIGTERM); }, 5s));
  running.signal(SIGTERM);
  EXPECT_EQ(running.waitForExit(5s), 128 + SIGTERM);
}

// Starts as parents make them. A failed one exits with 1 and its description
// on standard error and, in a control directory of its own, in "capture.error"
// beside its pid, the earlier run's files gone. One that runs does so until its
// stop file, with `text` as the whole of its standard error.
TEST_F(ProcessTest, EachStartFailsWithItsReasonOrRunsUntilItsStop) {
  struct Case {
    std::vector<std::string> command;  // "@" is the case's own control directory
    // A failed start's description; for a start that runs, its standard error
    // (nothing, or a line that begins "Velkin ").
    std::string text;
    fs::path where = {};  // the control directory when the command names none
    std::string scenario = {};
  };
  const std::string file = at("file"), s = at("s"), ro = at("ro");
  const fs::path cwd = root_ / "cwd", gone = root_ / "gone";
  fs::create_directories(cwd);
  std::ofstream(file).put('x');
  // Read-only for everyone, root included.
  const testing::Tmpfs readOnly(ro, MS_RDONLY);
  const auto dir = [](const char* role, const std::string& path, const char* reason) {
    return "The " + std::string(role) + " directory " + path + " " + reason;
  };
  // The shell enters a directory, removes it and becomes the agent.
  const auto inGone = [&](std::vector<std::string> arguments) {
    arguments.insert(
        arguments.begin(),
        {"/bin/sh", "-c", "cd \"$0\" && rmdir \"$0\" && exec \"$@\"", gone.string(), a});
    return arguments;
  };
  const char* const kUnprintable =
      "has a control character or a byte that is not UTF-8 in its path";
  const std::string noCwd = "The current directory is unavailable: No such file or directory";
  std::vector<Case> cases = {
      {{a, file, "@"}, dir("segment", file, "is unusable: Not a directory")},
      {{a, s, file}, dir("control", file, "is unusable: Not a directory")},
      {{a, at("s\nVELKIN_CAPTURE_READY /x"), "@"},
       dir("segment", at("s\\x0aVELKIN_CAPTURE_READY /x"), kUnprintable)},
      {{a, at("s\xff\xc3\xa9"), "@"}, dir("segment", at("s\\xff\xc3\xa9"), kUnprintable)},
      {{a, s, "@"},
       "Screen Recording permission denied",
       {},
       "screen-preflight=false;screen-request=false"},
      {{a, s, "@", "-" + std::to_string(::getpgrp())}, ""},  // this process group, alive
      {{a, "--echo-cancel", "--", at("-s"), "@"}, ""},
      {{a, "--echo-cancel", s, "@"},
       "Velkin capture warning: echo cancelling is off: no canceller\n",
       {},
       "echo-canceller-error=no canceller"},
      {{a, "--echo-cancel", "-s", s, "@"},
       "Unknown option -s: the agent takes --echo-cancel, and -- before a segment directory that "
       "begins with -"},
      // A pipe that nobody reads any more: the readiness line meets EPIPE.
      {{"/usr/bin/perl", "-e", "pipe(R, W); close R; open(STDOUT, '>&', W); exec @ARGV", a, s, "@"},
       ""},
      {{a}, "", cwd / "runtime/capture-control"},
      {inGone({s, "@"}), ""},
      {inGone({at("b/s")}), "", root_ / "b/capture-control"},
      {inGone({"segs"}), noCwd},
      {inGone({"segs", "@"}), noCwd},
      {inGone({s, "ctl"}), noCwd},
  };
  for (const std::string pid : {"0", "-1", "-2147483648", "2147483648", " 12", "x", ""}) {
    cases.push_back({{a, s, "@", pid},
                     "Velkin capture warning: the parent pid " + pid +
                         " names no single process; no parent is watched\n"});
  }
  if (canMount && readOnly.mounted) {
    cases.push_back({{a, ro, "@"}, dir("segment", ro, "cannot hold files: Read-only file system")});
    cases.push_back(
        {{a, s, ro}, dir("control", ro, "cannot hold capture.pid: Read-only file system")});
  } else {
    std::cout << "No tmpfs could be mounted: the read-only cases are not tried\n";
  }
  if (::geteuid() == 0) {
    // As nobody, the agent may not signal its parent, this root process, alive all the same.
    fs::permissions(root_, fs::perms::all);
    cases.push_back({{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", a,
                      at("nobody"), "@", std::to_string(::getpid())},
                     ""});
  } else {
    std::cout << "Not root: the parent owned by another user is not tried\n";
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Case& c = cases[i];
    SCOPED_TRACE(::testing::PrintToString(c.command));
    const bool named = std::count(c.command.begin(), c.command.end(), "@") > 0;
    const fs::path own = root_ / std::to_string(i), where = c.where.empty() ? own : c.where;
    std::replace(c.command.begin(), c.command.end(), std::string("@"), own.string());
    fs::create_directories(own);
    fs::permissions(own, fs::perms::all);
    std::ofstream(own / "capture.ready") << "ready, and more from an earlier run";
    std::ofstream(own / "capture.error") << "old";
    fs::create_directories(gone);
    AgentProcess agent(c.command, c.scenario, cwd);
    const std::string pid = std::to_string(agent.pid());
    if (c.text.empty() || c.text.starts_with("Velkin ")) {
      EXPECT_TRUE(keepsRunning(agent, where));
      EXPECT_EQ(agent.stop(where), 0);
      EXPECT_EQ(agent.standardError(), c.text);
      EXPECT_EQ(contents(where),
                (Files{{"capture.pid", pid}, {"capture.ready", "ready"}, {"capture.stop", ""}}));
      continue;
    }
    ASSERT_EQ(agent.waitForExit(10s), 1);
    EXPECT_EQ(agent.standardError(), "Velkin capture error: " + c.text + "\n");
    EXPECT_EQ(agent.standardOutput(), "");
    EXPECT_EQ(contents(own),
              (named ? Files{{"capture.error", c.text}, {"capture.pid", pid}}
                     : Files{{"capture.error", "old"},
                             {"capture.ready", "ready, and more from an earlier run"}}));
    EXPECT_FALSE(fs::exists("/segs") || fs::exists("/ctl"));
  }
}

// A parent that ends (reaped or not), the stop file or a stop signal: each is
// seen within a poll, and every recorded frame ends up in a marked segment.
// Meanwhile a second agent on either directory fails, touching nothing of the first.
TEST_F(ProcessTest, AParentThatEndsAStopFileOrAStopSignalStopsTheAgentWithinAPoll) {
  const fs::path control = root_ / "capture-control";
  // -1, -2: the parent ends, reaped or not; -3: the parent's process group ends;
  // -4: so does a group that the agent is in as well.
  for (const int stop : {0, SIGTERM, SIGINT, SIGHUP, -1, -2, -3, -4}) {
    SCOPED_TRACE(stop);
    fs::remove(control / "capture.stop");  // the last one's, a directory, would fail the start
    // A stand-in for the parent, killed and reaped by its pid even when the test fails.
    // -4: a group of its own in this session, which the agent then joins.
    const std::string perl = "/usr/bin/perl";
    AgentProcess parent(
        stop == -3 ? std::vector<std::string>{"/usr/bin/setsid", "/bin/sleep", "infinity"}
        : stop == -4
            ? std::vector<std::string>{perl, "-e", "setpgrp; exec @ARGV", "/bin/sleep", "infinity"}
            : std::vector<std::string>{"/bin/sleep", "infinity"});
    const fs::path segments = root_ / std::to_string(stop);
    const std::string watched = (stop <= -3 ? "-" : "") + std::to_string(parent.pid());
    ASSERT_TRUE(stop > -3 || waitFor([&] { return ::getpgid(parent.pid()) == parent.pid(); }, 5s));
    std::vector<std::string> command = {a, segments.string(), control.string(), watched};
    if (stop == -4) {
      command.insert(command.begin(), {perl, "-e", "setpgrp 0, shift or die; exec @ARGV",
                                       std::to_string(parent.pid())});
    }
    AgentProcess agent(command, "audio-seconds=12;microphone-seconds=7");
    ASSERT_TRUE(waitFor([&] { return contents(segments).size() == 8; }, 10s));  // 5 files, 3 marked
    EXPECT_TRUE(keepsRunning(agent, control));
    EXPECT_EQ(agent.standardOutput(), "VELKIN_CAPTURE_READY " + segments.string() + "\n");
    const Files controlBefore = contents(control), segmentsBefore = contents(segments);
    for (const auto& [arguments, directory] :
         {std::pair{std::vector{a, segments.string(), at("c")},
                    "segment directory " + segments.string()},
          std::pair{std::vector{a, at("s"), control.string()},
                    "control directory " + control.string()}}) {
      AgentProcess second(arguments);
      ASSERT_EQ(second.waitForExit(10s), 1);
      EXPECT_EQ(second.standardError(), "Velkin capture error: The " + directory +
                                            " is in use by the agent with pid " +
                                            std::to_string(agent.pid()) + "\n");
      EXPECT_EQ(contents(control), controlBefore);
      EXPECT_EQ(contents(segments), segmentsBefore);
    }
    // The stop file here is a directory, which counts as well.
    const auto asked = std::chrono::steady_clock::now();
    (void)(stop > 0   ? ::kill(agent.pid(), stop)
           : stop < 0 ? ::kill(parent.pid(), SIGKILL)
                      : ::mkdir((control / "capture.stop").c_str(), 0755));
    (void)((stop == -1 || stop <= -3) && parent.waitForExit(1s));
    const std::optional<int> status = agent.waitForExit(5s);
    ASSERT_EQ(status, 0);
    EXPECT_LT(agent.endedAt() - asked, testing::kAgentPollInterval + testing::stretched(200ms));
    for (const auto& [label, seconds] : {std::pair{"interviewer", 12}, std::pair{"candidate", 7}}) {
      const testing::Recording r = testing::examine(
          segments, label, [](int64_t) { return 0.0f; }, 0);
      EXPECT_EQ(r.unsound, 0u) << label;
      EXPECT_EQ(int64_t(r.marked.size()), seconds * 48000) << label;
    }
  }
}

}  // namespace
}  // namespace velkin
