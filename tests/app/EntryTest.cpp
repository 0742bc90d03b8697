#include <gtest/gtest.h>
#include <sys/stat.h>

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
  const std::pair<const char*, std::optional<int32_t>> cases[] = {
      {"812", 812},
      {"+12", 12},
      {"-5", -5},
      {"0", 0},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {" 12", std::nullopt},
      {"12 ", std::nullopt},
      {"1a2", std::nullopt},
      {"0x1F", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"１２", std::nullopt},  // fullwidth digits are not ASCII digits
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parseParentPid(text), expected) << '"' << text << '"';
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

// The built agent carries its information property list in a section of its
// own, as plain text.
std::string embeddedInfoPlist(const fs::path& binary) {
  const std::string image = testing::readFile(binary);
  const std::size_t begin = image.find("<?xml");
  const std::size_t end = image.find("</plist>", begin);
  return end == std::string::npos ? std::string() : image.substr(begin, end - begin);
}

TEST(InfoPlistTest, TheExecutableCarriesEveryKey) {
  for (const char* binary : {VELKIN_PRODUCT_AGENT, VELKIN_SCRIPTED_AGENT}) {
    SCOPED_TRACE(binary);
    const std::string plist = embeddedInfoPlist(binary);
    ASSERT_FALSE(plist.empty());
    const auto value = [&](const std::string& key) {
      const std::regex entry("<key>" + key + "</key>\\s*<(string>([^<]*)</string|true/|false/)>");
      std::smatch match;
      if (!std::regex_search(plist, match, entry)) {
        return std::string("(missing)");
      }
      return match[2].matched ? match[2].str() : match[1].str();
    };
    EXPECT_EQ(value("CFBundleExecutable"), "VelkinCapture");
    EXPECT_EQ(value("CFBundleName"), "Velkin Capture");
    EXPECT_EQ(value("CFBundlePackageType"), "APPL");
    EXPECT_EQ(value("CFBundleShortVersionString"), "0.1.0");
    EXPECT_EQ(value("CFBundleVersion"), "1");
    EXPECT_EQ(value("LSUIElement"), "true/");
    EXPECT_EQ(value("NSMicrophoneUsageDescription"),
              "Velkin separates your microphone from the interview call audio.");
    EXPECT_EQ(value("NSScreenCaptureUsageDescription"),
              "Velkin captures call audio for local transcription.");
    EXPECT_TRUE(std::regex_search(value("CFBundleIdentifier"),
                                  std::regex("^[a-z][a-z0-9-]*(\\.[a-z][a-z0-9-]*)+$")));
  }
}

}  // namespace
}  // namespace velkin
