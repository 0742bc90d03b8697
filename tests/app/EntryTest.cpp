#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

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
      {{"/data/run7/segments"}, "/data/run7/segments", "/data/run7/capture-control"},
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

// The built agent carries its information property list as plain text.
TEST(InfoPlistTest, TheExecutableCarriesEveryKey) {
  const char* entries[] = {
      "CFBundleExecutable</key>\\s*<string>VelkinCapture<",
      "CFBundleName</key>\\s*<string>Velkin Capture<",
      "CFBundlePackageType</key>\\s*<string>APPL<",
      "CFBundleShortVersionString</key>\\s*<string>0\\.1\\.0<",
      "CFBundleVersion</key>\\s*<string>1<",
      "LSUIElement</key>\\s*<true/>",
      "NSMicrophoneUsageDescription</key>\\s*<string>Velkin separates your microphone from the "
      "interview call audio\\.<",
      "NSScreenCaptureUsageDescription</key>\\s*<string>Velkin captures call audio for local "
      "transcription\\.<",
      "CFBundleIdentifier</key>\\s*<string>[a-z][a-z0-9-]*(\\.[a-z][a-z0-9-]*)+<",
  };
  for (const char* binary : {VELKIN_PRODUCT_AGENT, VELKIN_SCRIPTED_AGENT}) {
    const std::string image = testing::readFile(binary);
    const std::size_t begin = image.find("<?xml");
    const std::string plist = image.substr(begin, image.find("</plist>", begin) - begin);
    for (const char* entry : entries) {
      EXPECT_TRUE(std::regex_search(plist, std::regex(std::string("<key>") + entry)))
          << binary << ": " << entry;
    }
  }
}

}  // namespace
}  // namespace velkin
