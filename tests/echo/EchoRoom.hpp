#pragma once

#include <cstddef>
#include <vector>

namespace velkin::echo {

constexpr int rate = 48000;

constexpr size_t at(double seconds) {
  return static_cast<size_t>(seconds * rate);
}

// A call in a simulated room, 28 s at 48 kHz: the interviewer (espeak-ng's
// male American voice) alone from 0.5 s to 9 s, the candidate (its female
// British voice) alone from 9 s to 15 s, both until 23 s, the interviewer alone
// again until 28 s. The speakers' sound reaches the microphone's two channels
// by two echo paths of a direct sound (85 ms and 97 ms) and a decaying train of
// reflections, 12 dB down, over a noise floor at -75 dBFS; channel 1 hears the
// candidate 3 dB quieter and 0.2 ms later than channel 0.
struct Call {
  std::vector<float> far;       // what the speakers played
  std::vector<float> voice[2];  // the candidate's voice alone, as each channel hears it
  std::vector<float> echo[2];   // the speakers' sound, as each channel hears it
  std::vector<float> mic[2];    // what each channel heard: voice, echo and noise
};

// Empty when espeak-ng or sox is missing or fails.
Call simulateCall();

}  // namespace velkin::echo
