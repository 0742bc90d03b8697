// velkin-transcribe run as a user runs it, against a private PulseAudio daemon:
// speech played into each track comes back as transcript lines in call order,
// and a stop ends the parent and its agent.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AgentProcess.hpp"
#include "PulseTestSupport.hpp"

namespace velkin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Utterance {
  std::string sink, track, text;
};

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(TranscribeTest, SpeechInEachTrackComesBackInCallOrderAndAStopEndsBoth) {
  testing::PulseDaemon daemon;
  ASSERT_EQ(daemon.failure(), "");
  testing::ScratchDirectory scratch("velkin-transcribe");
  const fs::path segments = scratch.path() / "segments", control = scratch.path() / "control";
  // Each shorter than a segment, the second one segment later, on the other track.
  const std::vector<Utterance> call{
      {"call", "interviewer", "could you tell me about your last project"},
      {"mic_in", "candidate", "i built a small audio recorder for phone calls"}};
  const auto wav = [&](const Utterance& u) {
    return (scratch.path() / (u.track + ".wav")).string();
  };
  for (const Utterance& u : call) {
    testing::AgentProcess speak(
        {"/usr/bin/espeak-ng", "-v", "en-us", "-s", "150", "-w", wav(u), u.text});
    ASSERT_EQ(speak.waitForExit(10s), 0);
  }
  // An earlier run's marker, beyond this call's end: not this run's segment.
  fs::create_directories(segments);
  std::ofstream(segments / "candidate-000009.caf.ready").put('\n');

  testing::AgentProcess transcribe({VELKIN_TRANSCRIBE_BINARY, "--agent", VELKIN_AGENT_BINARY,
                                    segments.string(), control.string()});
  ASSERT_TRUE(testing::waitFor([&] { return fs::exists(control / "capture.ready"); }, 5s))
      << transcribe.standardError();
  const auto callStart = std::chrono::steady_clock::now();
  for (size_t i = 0; i < call.size(); ++i) {
    std::this_thread::sleep_until(callStart + i * 5s + 300ms);
    testing::AgentProcess play({"/usr/bin/paplay", "--device=" + call[i].sink, wav(call[i])});
    ASSERT_EQ(play.waitForExit(10s), 0) << play.standardError();
  }
  const pid_t agent = std::stoi(testing::readFile(control / "capture.pid"));
  transcribe.signal(SIGTERM);
  ASSERT_EQ(transcribe.waitForExit(15s), 0) << transcribe.standardError();
  EXPECT_NE(::kill(agent, 0), 0) << "the agent outlived its parent";
  EXPECT_EQ(transcribe.standardError().find("000009"), std::string::npos)
      << transcribe.standardError();

  // One line per segment that holds speech: the interviewer's first, then the
  // candidate's, each at its segment's start.
  const std::regex line(R"(\[(\d\d:\d\d)\] (\w+): (.+))");
  std::istringstream out(transcribe.standardOutput());
  std::vector<std::string> heard;
  size_t recalled = 0, said = 0;
  for (std::string text; std::getline(out, text);) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, line)) << text;
    heard.push_back(parts[1].str() + " " + parts[2].str());
    const auto got = words(parts[3]);
    for (const Utterance& u : call) {
      for (const auto& word : u.track == parts[2] ? words(u.text) : std::vector<std::string>{}) {
        recalled += std::count(got.begin(), got.end(), word) > 0;
        ++said;
      }
    }
  }
  EXPECT_EQ(heard, (std::vector<std::string>{"00:00 interviewer", "00:05 candidate"}))
      << transcribe.standardOutput();
  std::cout << "word recall: " << recalled << " of " << said << "\n" << transcribe.standardOutput();
}

}  // namespace
}  // namespace velkin
