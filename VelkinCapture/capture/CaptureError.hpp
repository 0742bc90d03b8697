#pragma once

#include "platform/Error.hpp"

namespace velkin {

inline constexpr const char* kCaptureErrorDomain = "Velkin";

// The controller's own failures. Their description is the message alone.
enum class CaptureErrorCode : int {
  screenRecordingDenied = 1,
  microphoneDenied = 2,
  microphoneNotAuthorized = 3,
  noDisplay = 4,
};

Error captureError(CaptureErrorCode code);

}  // namespace velkin
