#pragma once

#include <memory>

#include "platform/EchoCanceller.hpp"

namespace velkin {

// Echo cancelling on WebRTC's audio processing module, the one PulseAudio's own
// echo-cancel module uses: its echo canceller alone, with the extended filter
// and its own delay estimate. Nothing else of the module runs (no noise
// suppression, gain control, high-pass filter or voice detection), so the
// user's voice is left as the microphone gave it.
//
// Channel 0 of the near end is always cancelled. A channel that carries the
// same samples as channel 0 gets channel 0's result; one that differs is
// cancelled by its own instance (see WebrtcEchoCanceller.cpp).
std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService();

}  // namespace velkin
