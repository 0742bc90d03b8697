#pragma once

#include <memory>

#include "platform/EchoCanceller.hpp"

namespace velkin {

// Echo cancelling on WebRTC's audio processing module, the one PulseAudio's own
// echo-cancel module uses: its echo canceller alone, with the extended filter
// and its own delay estimate. Nothing else of the module runs (no noise
// suppression, gain control, high-pass filter or voice detection). The near
// end still comes out later than it went in (383 frames, 8 ms, at 48 kHz;
// 7 ms at 16 kHz), and above 16 kHz the module splits it into bands and joins
// them again, which at 48 kHz shifts its phase by up to 4 samples across the
// speech band and takes 3.7 dB off the band edge near 8 kHz. Digital silence
// comes out as it went in.
//
// Channel 0 of the near end is always cancelled. A channel that carries the
// same samples as channel 0 gets channel 0's result; one that differs is
// cancelled by its own instance (see WebrtcEchoCanceller.cpp).
std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService();

}  // namespace velkin
