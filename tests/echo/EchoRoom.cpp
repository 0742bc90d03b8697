#include "EchoRoom.hpp"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace velkin::echo {

namespace {

// Speech in `voice` at 48 kHz, scaled to a peak of 0.5. espeak-ng speaks at
// 22.05 kHz; sox resamples into floats, which need no dither, so the same
// text gives the same samples on every run.
std::vector<float> speak(const std::string& voice, const std::string& text) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("velkin-echo-" + std::to_string(getpid()) + "-" + voice);
  std::filesystem::create_directories(dir);
  const std::string spoken = (dir / "spoken.wav").string(), wav = (dir / "48k.wav").string();
  const std::string command = "espeak-ng -v " + voice + " -s 150 -w '" + spoken + "' '" + text +
                              "' && sox -V1 '" + spoken + "' -e floating-point -b 32 '" + wav +
                              "' rate 48000";
  std::vector<float> samples;
  SF_INFO info{};
  SNDFILE* file = nullptr;
  if (std::system(command.c_str()) == 0 && (file = sf_open(wav.c_str(), SFM_READ, &info))) {
    samples.resize(static_cast<size_t>(info.frames));
    samples.resize(static_cast<size_t>(sf_readf_float(file, samples.data(), info.frames)));
    sf_close(file);
  }
  std::filesystem::remove_all(dir);
  float peak = 0;
  for (float s : samples) {
    peak = std::max(peak, std::fabs(s));
  }
  for (float& s : samples) {
    s *= 0.5f / peak;
  }
  return samples;
}

// `signal` through an echo path: the direct sound after `delay` seconds, then
// 60 reflections over the next 150 ms, decaying by 60 dB in 200 ms, in all
// 12 dB down. Drawn from the engine's output itself, which every standard
// library gives alike.
std::vector<float> echoOf(const std::vector<float>& signal, double delay, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::pair<size_t, double>> taps = {{at(delay), 1.0}};
  double energy = 1;
  for (int i = 0; i < 60; ++i) {
    const size_t after = 1 + random() % at(0.15);
    const double gain = (random() % 2 ? 0.7 : -0.7) * std::pow(10.0, -3.0 * after / at(0.2));
    taps.emplace_back(at(delay) + after, gain);
    energy += gain * gain;
  }
  std::vector<float> echo(signal.size());
  for (auto [lag, gain] : taps) {
    const auto g = static_cast<float>(gain * std::pow(10.0, -12.0 / 20) / std::sqrt(energy));
    for (size_t n = lag; n < signal.size(); ++n) {
      echo[n] += g * signal[n - lag];
    }
  }
  return echo;
}

}  // namespace

Call simulateCall() {
  const std::vector<float> interviewer = speak(
      "en-us+m3",
      "Thank you for joining us today. Could you tell me about a project you are proud of, and "
      "what you learned from it? We would also like to hear how you work with other people. "
      "How do you handle a disagreement about a design? What would you do if a deadline "
      "slipped? Take your time, there is no hurry, and tell us about the last time it happened. "
      "Thank you, that was very helpful.");
  const std::vector<float> candidate =
      speak("en-gb+f2",
            "Last year I built a tool that measured the delay of every call we made. I learned to "
            "write tests before the code, and to ask my team early when I was stuck on a problem. "
            "We shipped it in two months, and the whole company still uses it every single day.");
  if (interviewer.size() < at(21.5) || candidate.size() < at(14)) {
    return {};
  }
  Call call;
  call.far.assign(at(28), 0.0f);
  std::copy_n(interviewer.begin(), at(8.5), call.far.begin() + at(0.5));
  std::copy_n(interviewer.begin() + at(8.5), at(13), call.far.begin() + at(15));
  const double delays[] = {0.085, 0.097};
  std::mt19937 random(7);
  for (int c = 0; c < 2; ++c) {
    call.voice[c].assign(at(28), 0.0f);
    const float gain = c == 0 ? 1.0f : 0.7f;
    for (size_t n = 0; n < at(14); ++n) {
      call.voice[c][at(9) + c * 10 + n] = gain * candidate[n];
    }
    call.echo[c] = echoOf(call.far, delays[c], 11 + c);
    call.mic[c].resize(at(28));
    for (size_t n = 0; n < at(28); ++n) {
      const double noise = (static_cast<double>(random()) / random.max() * 2 - 1) *
                           std::pow(10.0, -75.0 / 20) * std::sqrt(3.0);
      call.mic[c][n] = call.voice[c][n] + call.echo[c][n] + static_cast<float>(noise);
    }
  }
  return call;
}

}  // namespace velkin::echo
