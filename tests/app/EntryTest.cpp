#include <elf.h>
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

class ControlFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() / ("velkin-control-" + std::to_string(::getpid()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }
  fs::path directory_;
};

TEST_F(ControlFileTest, WritesExactBytesReplacesWholeAndLeavesNoTemporary) {
  const fs::path file = directory_ / "capture.pid";
  std::ofstream(file) << "123456789\n";
  writeControlFile("812", file);
  EXPECT_EQ(testing::readFile(file), "812");
  writeControlFile("Microphone permission denied — ünïcode", file);
  EXPECT_EQ(testing::readFile(file), "Microphone permission denied — ünïcode");
  EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 1);
}

TEST_F(ControlFileTest, AFailedWriteChangesNothingAndDoesNotThrow) {
  writeControlFile("ready", directory_ / "missing" / "capture.ready");
  EXPECT_FALSE(fs::exists(directory_ / "missing"));
  // A directory in the way cannot be replaced by a file.
  fs::create_directory(directory_ / "capture.ready");
  writeControlFile("ready", directory_ / "capture.ready");
  EXPECT_TRUE(fs::is_directory(directory_ / "capture.ready"));
  EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()), 1);
}

TEST_F(ControlFileTest, ALinkAtTheTargetIsReplacedNotFollowed) {
  const fs::path victim = directory_ / "victim";
  std::ofstream(victim) << "keep";
  fs::create_symlink(victim, directory_ / "capture.ready");
  writeControlFile("ready", directory_ / "capture.ready");
  EXPECT_EQ(testing::readFile(victim), "keep");
  EXPECT_FALSE(fs::is_symlink(directory_ / "capture.ready"));
  EXPECT_EQ(testing::readFile(directory_ / "capture.ready"), "ready");
}

TEST_F(ControlFileTest, AnyEntryCountsAsExisting) {
  EXPECT_FALSE(entryExists(directory_ / "capture.stop"));
  fs::create_directory(directory_ / "capture.stop");
  EXPECT_TRUE(entryExists(directory_ / "capture.stop"));
  fs::create_symlink(directory_ / "nowhere", directory_ / "dangling");
  EXPECT_TRUE(entryExists(directory_ / "dangling"));
}

// The built agent carries its information property list in an ELF section.
std::string embeddedInfoPlist(const fs::path& binary) {
  const std::string image = testing::readFile(binary);
  if (image.size() < sizeof(Elf64_Ehdr)) {
    return {};
  }
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
  const Elf64_Shdr& names = sections[header->e_shstrndx];
  for (int i = 0; i < header->e_shnum; ++i) {
    const char* name = image.data() + names.sh_offset + sections[i].sh_name;
    if (std::string_view(name) == ".velkin_info_plist") {
      return image.substr(sections[i].sh_offset, sections[i].sh_size);
    }
  }
  return {};
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
