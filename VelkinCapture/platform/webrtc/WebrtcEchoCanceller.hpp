#pragma once

#include <memory>

#include "platform/EchoCanceller.hpp"

namespace velkin {

// Echo cancelling on WebRTC's audio processing module, the one PulseAudio's own
// echo-cancel module uses.
std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService();

}  // namespace velkin
