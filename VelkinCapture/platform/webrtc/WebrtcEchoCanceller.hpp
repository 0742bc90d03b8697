#pragma once

#include <memory>

#include "platform/EchoCanceller.hpp"

namespace velkin {

// Echo cancelling on WebRTC's audio processing module, the one PulseAudio's own
// echo-cancel module uses: its echo canceller alone, with the extended filter
// and its own delay estimate. Nothing else of the module runs (no noise
// suppression, gain control, high-pass filter or voice detection). Above
// 16 kHz the module still splits the voice into bands and joins them again:
// at 48 kHz the near end comes out 383 frames (8 ms) later than it went in,
// its phase shifted by up to 4 samples across the speech band and the band
// edge near 8 kHz 3.7 dB down. Digital silence comes out as it went in.
//
// Channel 0 of the near end is always cancelled. A channel that carries the
// same samples as channel 0 gets channel 0's result; one that differs is
// cancelled by its own instance (see WebrtcEchoCanceller.cpp).
std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService();

}  // namespace velkin
