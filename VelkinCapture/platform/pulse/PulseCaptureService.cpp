// Placeholder until the PulseAudio backend lands.
#include "platform/pulse/PulseCaptureService.hpp"

namespace velkin {
std::unique_ptr<CaptureService> makePulseCaptureService() {
  return nullptr;
}
}  // namespace velkin
