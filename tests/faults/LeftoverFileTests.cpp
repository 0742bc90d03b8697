// A launch into directories that an earlier run left behind: its control files
// and a marked segment under the name the new run writes first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "FaultSupport.hpp"

namespace velkin::faults {
namespace {

using namespace std::chrono_literals;

class LeftoverFiles : public FaultTest {};

TEST_F(LeftoverFiles, AreClearedBeforeTheNewRunUsesTheirNames) {
  fs::create_directories(segments());
  fs::create_directories(control());
  // The earlier run ended in a failed start after it had been asked to stop.
  std::ofstream(control() / "capture.pid") << "999999";
  std::ofstream(control() / "capture.ready") << "ready";
  std::ofstream(control() / "capture.error") << "Screen Recording permission denied";
  std::ofstream(control() / "capture.stop").close();
  // And a finished first segment per track, marked, that is no CAF at all now.
  for (const char* name : {"interviewer-000001.caf", "candidate-000001.caf"}) {
    std::ofstream(segments() / name) << std::string(100000, 'x');
    std::ofstream(segments() / (std::string(name) + ".ready")).close();
  }

  DirectoryEvents events({control(), segments()});
  ASSERT_EQ(events.failure(), "");
  const Call call = playCall(*daemon_);
  ASSERT_TRUE(call.player);
  Agent agent(segments(), control());
  ASSERT_TRUE(agent.becomesReady(5s));
  EXPECT_EQ(testing::readFile(control() / "capture.pid"), std::to_string(agent.pid()));

  // Three polls on, the stale stop request has stopped nothing.
  std::this_thread::sleep_for(1200ms);
  EXPECT_TRUE(agent.running()) << agent.standardError();
  ASSERT_NO_FATAL_FAILURE(agent.stopInOrder());
  EXPECT_FALSE(fs::exists(control() / "capture.error"));
  ASSERT_EQ(events.failure(), "");
  std::printf("%s", events.describe().c_str());

  // The control files of the earlier run went before the new pid file came.
  const auto pidFile = events.first("moved-to", control() / "capture.pid");
  ASSERT_TRUE(pidFile) << events.describe();
  for (const char* name : {"capture.ready", "capture.error", "capture.stop"}) {
    const auto removed = events.first("delete", control() / name);
    ASSERT_TRUE(removed) << name << " of the earlier run was not removed\n" << events.describe();
    EXPECT_LT(*removed, *pidFile) << name << " was removed after the new pid file came\n"
                                  << events.describe();
  }
  const auto ready = events.first("moved-to", control() / "capture.ready");
  ASSERT_TRUE(ready);
  EXPECT_GT(*ready, *pidFile);

  for (const char* name : {"interviewer-000001.caf", "candidate-000001.caf"}) {
    SCOPED_TRACE(name);
    const fs::path file = segments() / name;
    const fs::path marker = segments() / (std::string(name) + ".ready");
    // The old marker went before the new file existed, so that it never vouched
    // for the file being written; the old file went too.
    const auto markerRemoved = events.first("delete", marker);
    const auto fileRemoved = events.first("delete", file);
    const auto created = events.first("create", file);
    ASSERT_TRUE(markerRemoved && fileRemoved && created) << events.describe();
    EXPECT_LT(*markerRemoved, *created);
    EXPECT_LT(*fileRemoved, *created);
    // The new file was closed, then marked.
    const auto closed = events.first("closed", file);
    const auto marked = events.first("create", marker);
    ASSERT_TRUE(closed && marked) << events.describe();
    EXPECT_LT(*created, *closed);
    EXPECT_LT(*closed, *marked);

    const SegmentFile segment = readSegmentFile(file);
    EXPECT_TRUE(segment.marked);
    EXPECT_TRUE(isComplete(segment));
    EXPECT_TRUE(holdsPlayedNoise(segment));
    EXPECT_GE(segment.framesRead(), kRate);
  }
}

}  // namespace
}  // namespace velkin::faults
