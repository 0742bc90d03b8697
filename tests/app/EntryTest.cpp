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
  const std::pair<const char*, int32_t> numbers[] = {{"812", 812},
                                                     {"+12", 12},
                                                     {"-5", -5},
                                                     {"0", 0},
                                                     {"007", 7},
                                                     {"2147483647", INT32_MAX},
                                                     {"-2147483648", INT32_MIN}};
  for (const auto& [text, expected] : numbers) {
    EXPECT_EQ(parseParentPid(text), expected) << text;
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
    std::optional<int32_t> parent;
  };
  const Case cases[] = {
      {{}, "/work/a/runtime/segments", "/work/a/runtime/capture-control", std::nullopt},
      {{"/data/run7/segments"}, "/data/run7/segments", "/data/run7/capture-control", std::nullopt},
      {{"/data/run7/segments/"}, "/data/run7/segments", "/data/run7/capture-control", std::nullopt},
      {{"segs"}, "/work/a/segs", "/work/a/capture-control", std::nullopt},
      {{"segs", "ctl", "812", "ignored"}, "/work/a/segs", "/work/a/ctl", 812},
      {{"segs", "ctl", "x"}, "/work/a/segs", "/work/a/ctl", std::nullopt},
      // A present argument is used even when empty.
      {{"", ""}, "/work/a", "/work/a", std::nullopt},
      {{"/"}, "/", "/capture-control", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments.front());
    const Settings s = resolveSettings(c.arguments, "/work/a");
    EXPECT_EQ(s.segmentDirectory, c.segments);
    EXPECT_EQ(s.controlDirectory, c.control);
    EXPECT_EQ(s.parentPid, c.parent);
  }
}

TEST(ControlFileTest, AFailedWriteIsReportedAndLeavesNothingAndALinkIsReplacedNotFollowed) {
  const testing::ScratchDirectory scratch("velkin-control");
  const fs::path directory = scratch.path();
  EXPECT_EQ(writeControlFile("ready", directory / "missing" / "capture.ready").value(), ENOENT);
  fs::create_directory(directory / "capture.ready");  // a directory cannot be replaced by a file
  EXPECT_TRUE(writeControlFile("ready", directory / "capture.ready"));
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
  std::ofstream(directory / "victim") << "keep";
  fs::create_symlink(directory / "victim", directory / "capture.pid");
  EXPECT_FALSE(writeControlFile("812", directory / "capture.pid"));
  EXPECT_EQ(testing::readFile(directory / "victim"), "keep");
  EXPECT_EQ(testing::readFile(directory / "capture.pid"), "812");
  EXPECT_FALSE(fs::is_symlink(directory / "capture.pid"));
}

// The built agent carries its information property list as plain text.
TEST(InfoPlistTest, TheExecutableCarriesEveryKey) {
  const std::pair<const char*, const char*> entries[] = {
      {"CFBundleExecutable", "<string>VelkinCapture</string>"},
      {"CFBundleName", "<string>Velkin Capture</string>"},
      {"CFBundlePackageType", "<string>APPL</string>"},
      {"CFBundleShortVersionString", "<string>0\\.1\\.0</string>"},
      {"CFBundleVersion", "<string>1</string>"},
      {"LSUIElement", "<true/>"},
      {"NSMicrophoneUsageDescription",
       "<string>Velkin separates your microphone from the interview call audio\\.</string>"},
      {"NSScreenCaptureUsageDescription",
       "<string>Velkin captures call audio for local transcription\\.</string>"},
      {"CFBundleIdentifier", "<string>[a-z][a-z0-9-]*(\\.[a-z][a-z0-9-]*)+</string>"},
  };
  for (const char* binary : {VELKIN_PRODUCT_AGENT, VELKIN_SCRIPTED_AGENT}) {
    const std::string image = testing::readFile(binary);
    const std::size_t begin = image.find("<?xml");
    const std::string plist = image.substr(begin, image.find("</plist>", begin) - begin);
    for (const auto& [key, value] : entries) {
      EXPECT_TRUE(
          std::regex_search(plist, std::regex(std::string("<key>") + key + "</key>\\s*" + value)))
          << binary << ": " << key;
    }
  }
}

}  // namespace
}  // namespace velkin
