#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "AgentProcess.hpp"
#include "app/CommandLine.hpp"
#include "app/ControlFiles.hpp"
#include "app/RunDirectories.hpp"
#include "platform/Console.hpp"

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
      // ".." is the kernel's to resolve: after a link it is the target's parent.
      {{"a/link/../segs//"}, "/work/a/a/link/../segs", "/work/a/a/link/../capture-control"},
      {{"x/.."}, "/work/a/x/..", "/work/a/x/../../capture-control"},
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
  const Directory directory = Directory::open(scratch.path()).value();
  EXPECT_FALSE(writeControlFile("812", directory, "capture.pid"));
  EXPECT_FALSE(writeControlFile("8", directory, "capture.pid"));
  fs::create_directories(blocked / "inside");  // no rename can replace it
  EXPECT_TRUE(writeControlFile("text", directory, "capture.error"));
  EXPECT_EQ(testing::readFile(scratch / "victim"), "keep");
  EXPECT_EQ(testing::readFile(pid), "8");
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 3);
}

TEST(EscapeTest, ControlCharactersAndBytesThatAreNotUtf8BecomeHexEscapes) {
  EXPECT_EQ(escapeText("a\nb\x7f\xc2\x85\xc2\xa0\xff\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa4"),
            "a\\x0ab\\x7f\\xc2\\x85\xc2\xa0\\xff\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa4");
  // Overlong, surrogate, above U+10FFFF, cut short.
  EXPECT_EQ(escapeText("\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82"),
            "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xe2\\x82");
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
