#pragma once

#include <memory>

#include "platform/EchoCanceller.hpp"

namespace velkin {

// Echo cancelling on WebRTC's audio processing module, the one PulseAudio's own
// echo-cancel module uses: its echo canceller alone, with the extended filter
// and its own delay estimate. Nothing else of the module runs (no noise
// suppression, gain control, high-pass filter or voice detection). Above
// 32 kHz the module runs at 32 kHz behind libspeexdsp's resamplers: in three
// bands, at 48 kHz, it would take the voice it passes down to 14 dB signal to
// distortion; in two it keeps 20 dB, everything up to 13 kHz. The near end
// comes out later than it went in (414 frames, 8.6 ms, at 48 kHz; 7 ms at
// 16 kHz). Digital silence comes out as it went in.
//
// Channel 0 of the near end is always cancelled. A channel that carries the
// same samples as channel 0 gets channel 0's result; one that differs is
// cancelled by its own instance (see WebrtcEchoCanceller.cpp).
std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService();

}  // namespace velkin
