#include "capture/CaptureError.hpp"

namespace velkin {

namespace {

const char* messageFor(CaptureErrorCode code) {
  switch (code) {
    case CaptureErrorCode::screenRecordingDenied:
      return "Screen Recording permission denied";
    case CaptureErrorCode::microphoneDenied:
      return "Microphone permission denied";
    case CaptureErrorCode::microphoneNotAuthorized:
      return "Microphone permission is not authorized";
    case CaptureErrorCode::noDisplay:
      return "No display found";
  }
  return "Unknown capture error";
}

}  // namespace

Error captureError(CaptureErrorCode code) {
  return Error{kCaptureErrorDomain, static_cast<long>(code), messageFor(code)};
}

}  // namespace velkin
