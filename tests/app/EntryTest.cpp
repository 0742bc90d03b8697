#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "AgentProcess.hpp"
#include "app/CommandLine.hpp"
#include "app/ControlFiles.hpp"

namespace velkin {
namespace {

namespace fs = std::filesystem;

TEST(CommandLineTest, ParentPidIsADecimalSigned32BitNumberOrAbsent) {
  const char* numbers[] = {"812", "+12", "-5", "0", "007", "2147483647", "-2147483648"};
  const int32_t values[] = {812, 12, -5, 0, 7, INT32_MAX, INT32_MIN};
  for (std::size_t i = 0; i < std::size(numbers); ++i) {
    EXPECT_EQ(parseParentPid(numbers[i]), values[i]) << numbers[i];
  }
  // Fullwidth digits are not ASCII digits.
  for (const char* text : {"2147483648", "-2147483649", "99999999999999999999999", "", " 12", "12 ",
                           "1a2", "0x1F", "+", "-", "+-1", "１２"}) {
    EXPECT_EQ(parseParentPid(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(CommandLineTest, SettingsResolveDefaultsRelativePathsAndTrailingSeparators) {
  struct Case {
    std::vector<std::string> arguments;
    const char* segments;
    const char* control;
  };
  const Case cases[] = {
      {{}, "/work/a/runtime/segments", "/work/a/runtime/capture-control"},
      {{"/data/run7/segments/"}, "/data/run7/segments", "/data/run7/capture-control"},
      {{"segs"}, "/work/a/segs", "/work/a/capture-control"},
      {{"segs", "ctl", "812", "ignored"}, "/work/a/segs", "/work/a/ctl"},
      // A present argument is used even when empty.
      {{"", ""}, "/work/a", "/work/a"},
      {{"/"}, "/", "/capture-control"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments.front());
    const Settings s = resolveSettings(c.arguments, "/work/a");
    EXPECT_EQ(s.segmentDirectory, c.segments);
    EXPECT_EQ(s.controlDirectory, c.control);
  }
}

// Whole or not at all, never through a link, and no temporary left behind.
TEST(ControlFileTest, ReplacesWholeNeverThroughALinkAndLeavesNoTemporary) {
  const testing::ScratchDirectory scratch("velkin-control");
  const fs::path pid = scratch / "capture.pid", blocked = scratch / "capture.error";
  std::ofstream(scratch / "victim") << "keep";
  fs::create_symlink(scratch / "victim", pid);
  EXPECT_FALSE(writeControlFile("812", pid));
  EXPECT_FALSE(writeControlFile("8", pid));
  fs::create_directories(blocked / "inside");  // no rename can replace it
  EXPECT_TRUE(writeControlFile("text", blocked));
  EXPECT_EQ(testing::readFile(scratch / "victim"), "keep");
  EXPECT_EQ(testing::readFile(pid), "8");
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 3);
}

// The built agents carry their information property list, byte for byte.
TEST(InfoPlistTest, TheExecutablesCarryTheirPropertyList) {
  const std::string plist = testing::readFile(VELKIN_SOURCE_DIR "/VelkinCapture/Info.plist");
  ASSERT_NE(plist.find("<key>LSUIElement</key>"), std::string::npos);
  for (const char* binary : {VELKIN_PRODUCT_AGENT, VELKIN_SCRIPTED_AGENT}) {
    EXPECT_NE(testing::readFile(binary).find(plist), std::string::npos) << binary;
  }
}

}  // namespace
}  // namespace velkin
