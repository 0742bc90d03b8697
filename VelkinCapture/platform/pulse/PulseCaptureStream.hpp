#pragma once

#include <memory>

#include "platform/Capture.hpp"

namespace velkin::pulse {

// A capture stream on its own server connection: the default sink's monitor as the
// audio output, the default source as the microphone output, and a frame without
// image per minimum frame interval as the screen output. See PulseCaptureStream.cpp.
//
// Its completion handlers and the delegate run on the stream's own control thread,
// which the stream joins when destroyed: destroy it elsewhere, not from inside
// one of them.
std::unique_ptr<CaptureStream> makeCaptureStream(const StreamConfiguration& configuration,
                                                 StreamDelegate& delegate);

}  // namespace velkin::pulse
