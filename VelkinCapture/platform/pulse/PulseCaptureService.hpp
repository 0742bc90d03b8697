#pragma once

#include <memory>

#include "platform/Capture.hpp"

namespace velkin {

// The capture service on PulseAudio's client library (also served by PipeWire):
// the default sink's monitor as the audio output, the default source as the
// microphone output.
std::unique_ptr<CaptureService> makePulseCaptureService();

}  // namespace velkin
