// velkin-transcribe: a parent that runs velkin-capture for a call and prints a
// transcript line for each finished segment that holds speech, while the call
// goes on. Ctrl-C or SIGTERM stops the capture in order; the segments finished
// by then are transcribed before it exits.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "CaptureClient.hpp"
#include "PocketSphinxRecogniser.hpp"
#include "SegmentAudio.hpp"

#ifndef VELKIN_DEFAULT_MODEL_DIRECTORY
#error "VELKIN_DEFAULT_MODEL_DIRECTORY must name PocketSphinx's English model"
#endif

namespace {

namespace fs = std::filesystem;
using velkin::client::CaptureClient;
using velkin::client::ReadySegment;

constexpr std::chrono::milliseconds kPollInterval{100};
// How long the agent may take to close its files once asked to stop.
constexpr std::chrono::seconds kStopDeadline{10};

volatile std::sig_atomic_t stopRequested = 0;

// Runs on whichever thread the signal interrupts; only sets the flag.
void requestStop(int) {
  stopRequested = 1;
}

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: velkin-transcribe [--agent PATH] [--model DIRECTORY] SEGMENT-DIRECTORY "
               "CONTROL-DIRECTORY\n"
               "\n"
               "Runs velkin-capture for a call and prints \"[mm:ss] <track>: <text>\" for each\n"
               "finished segment that holds speech, both tracks in call-time order. Ctrl-C or\n"
               "SIGTERM stops the capture; the last segments are transcribed before it exits.\n"
               "\n"
               "  --agent PATH       the agent to run; by default velkin-capture beside this\n"
               "                     program, or else the one found in PATH\n"
               "  --model DIRECTORY  PocketSphinx's English model (default %s)\n"
               "\n"
               "Use a fresh SEGMENT-DIRECTORY per call. Exit status: 0 after a stop, 1 when the\n"
               "agent failed to start or ended with a failure, 2 for a bad command line.\n",
               VELKIN_DEFAULT_MODEL_DIRECTORY);
}

fs::path defaultAgent() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path beside = self.parent_path() / "velkin-capture";
    if (::access(beside.c_str(), X_OK) == 0) {
      return beside;
    }
  }
  return "velkin-capture";
}

void transcribe(velkin::transcribe::Recogniser& recogniser, const ReadySegment& segment) {
  std::string error;
  const auto samples =
      velkin::transcribe::readMono(segment.file, velkin::transcribe::kRecogniserRate, error);
  if (!samples) {
    std::fprintf(stderr, "velkin-transcribe: %s\n", error.c_str());
    return;
  }
  const auto text = recogniser.transcribe(*samples);
  if (!text) {
    std::fprintf(stderr, "velkin-transcribe: the recogniser failed on %s\n", segment.file.c_str());
    return;
  }
  if (text->empty()) {
    return;
  }
  const long long seconds = segment.start().count();
  std::printf("[%02lld:%02lld] %s: %s\n", seconds / 60, seconds % 60,
              std::string(velkin::client::trackName(segment.track)).c_str(), text->c_str());
}

}  // namespace

int main(int argc, char** argv) {
  CaptureClient::Options options;
  options.agent = defaultAgent();
  fs::path model = VELKIN_DEFAULT_MODEL_DIRECTORY;
  std::vector<std::string> directories;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      usage(stdout);
      return 0;
    }
    if ((argument == "--agent" || argument == "--model") && i + 1 < argc) {
      (argument == "--agent" ? options.agent : model) = argv[++i];
    } else if (argument.starts_with("-")) {
      usage(stderr);
      return 2;
    } else {
      directories.push_back(argument);
    }
  }
  if (directories.size() != 2) {
    usage(stderr);
    return 2;
  }
  options.segmentDirectory = directories[0];
  options.controlDirectory = directories[1];
  // The transcript is read line by line, often through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The agent's own ready line stays out of the transcript.
  options.standardOutput = STDERR_FILENO;

  std::string error;
  const auto recogniser = velkin::transcribe::PocketSphinxRecogniser::create(model, error);
  if (!recogniser) {
    std::fprintf(stderr, "velkin-transcribe: %s\n", error.c_str());
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  CaptureClient client(options);
  if (const auto failed = client.launch()) {
    std::fprintf(stderr, "velkin-transcribe: %s\n", failed->c_str());
    return 1;
  }
  bool stopped = false;
  while (true) {
    const CaptureClient::Phase phase = client.update();
    if (phase == CaptureClient::Phase::failed) {
      std::fprintf(stderr, "velkin-transcribe: the agent failed to start: %s\n",
                   client.failure().c_str());
      return 1;
    }
    for (const ReadySegment& segment : client.takeReadySegments()) {
      transcribe(*recogniser, segment);
    }
    if (phase == CaptureClient::Phase::ended) {
      break;
    }
    if (stopRequested) {
      stopped = true;
      if (!client.stop(std::chrono::steady_clock::now() + kStopDeadline)) {
        std::fprintf(stderr, "velkin-transcribe: the agent did not stop within %lld s\n",
                     static_cast<long long>(kStopDeadline.count()));
        client.kill();
      }
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  for (const ReadySegment& segment : client.takeReadySegments()) {
    transcribe(*recogniser, segment);
  }
  const int status = client.exitStatus().value_or(1);
  if (status != 0 || !stopped) {
    std::fprintf(stderr, "velkin-transcribe: the agent ended with status %d%s\n", status,
                 stopped ? "" : " before it was asked to stop");
  }
  return status == 0 ? 0 : 1;
}
