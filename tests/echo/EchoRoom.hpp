#pragma once

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace velkin::echo {

constexpr int rate = 48000;

constexpr size_t at(double seconds) {
  return static_cast<size_t>(seconds * rate);
}

// Speech in `voice` at 48 kHz, its peak at -6 dBFS, at most 30 s: espeak-ng's,
// resampled by sox into floats, which need no dither, so that a text gives the
// same samples on every run. Empty when either is missing.
inline std::vector<float> speak(const std::string& voice, const std::string& text) {
  const std::string command = "espeak-ng --stdout -v " + voice + " '" + text +
                              "' | sox -V1 -t wav - -t f32 - rate 48000 norm -6";
  std::vector<float> samples(at(30));
  FILE* pipe = popen(command.c_str(), "r");
  samples.resize(pipe != nullptr ? fread(samples.data(), sizeof(float), samples.size(), pipe) : 0);
  return pipe != nullptr && pclose(pipe) == 0 ? samples : std::vector<float>();
}

// A call in a simulated room, 28 s: the interviewer (espeak-ng's male American
// voice) alone from 0.5 s to 9 s, the candidate (its female British voice)
// alone until 15 s, both until 23 s, the interviewer alone again until 28 s,
// each saying one sentence over and over. The speakers reach each of the
// microphone's two channels some 12 dB down, by a direct sound and 60
// reflections over 150 ms that decay by 60 dB in 200 ms, over noise at
// -75 dBFS. The direct sound comes after 140 ms to channel 0 and 45 ms to
// channel 1: the longest delay heard on the tracks' shared timeline, and one
// well below the shortest. Silence when espeak-ng or sox is missing. Random
// values are the engine's own output, which every standard library gives alike.
struct Call {
  std::vector<float> far;      // what the speakers played
  std::vector<float> voice;    // the candidate's voice alone, as both channels hear it
  std::vector<float> echo[2];  // the speakers' sound, as each channel hears it
  std::vector<float> mic[2];   // what each channel heard: voice, echo and noise
};

inline Call simulateCall() {
  const std::vector<float> interviewer =
      speak("en-us+m3", "Thank you for joining us. Tell me about a project that you are proud of.");
  const std::vector<float> candidate =
      speak("en-gb+f2", "Last year I built a tool that measured the delay of every call we made.");
  if (interviewer.empty() || candidate.empty()) {
    return {};
  }
  // Indices below `from` wrap around to beyond `to`.
  const auto saying = [](const std::vector<float>& speech, size_t n, double from, double to) {
    return n - at(from) < at(to - from) ? speech[(n - at(from)) % speech.size()] : 0.0f;
  };
  Call call;
  for (size_t n = 0; n < at(28); ++n) {
    call.far.push_back(saying(interviewer, n, 0.5, 9) + saying(interviewer, n, 15, 28));
    call.voice.push_back(saying(candidate, n, 9, 23));
  }
  std::mt19937 random(7);
  const auto uniform = [&random] { return static_cast<double>(random()) / random.max() - 0.5; };
  for (size_t c = 0; c < 2; ++c) {
    call.echo[c] = call.mic[c] = std::vector<float>(at(28));
    for (int i = 0; i <= 60; ++i) {
      const size_t after = i == 0 ? 0 : 1 + random() % at(0.15),
                   lag = at(c == 0 ? 0.14 : 0.045) + after;
      const double decay = i == 0 ? 1.0 : uniform() * std::pow(10, -3.0 * after / at(0.2));
      for (size_t n = lag; n < at(28); ++n) {
        call.echo[c][n] += static_cast<float>(0.25 * decay) * call.far[n - lag];
      }
    }
    for (size_t n = 0; n < at(28); ++n) {
      call.mic[c][n] = call.voice[n] + call.echo[c][n] + static_cast<float>(uniform() * 6e-4);
    }
  }
  return call;
}

}  // namespace velkin::echo
