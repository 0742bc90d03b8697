#pragma once

#include <functional>

namespace velkin {

enum class AuthorizationStatus : int {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorized = 3,
};

// The host's privacy permissions: screen recording and the microphone.
class PermissionService {
 public:
  virtual ~PermissionService() = default;

  // True when screen recording is allowed, without asking the user.
  virtual bool preflightScreenCaptureAccess() = 0;
  // May ask the user; true when access is granted.
  virtual bool requestScreenCaptureAccess() = 0;

  virtual AuthorizationStatus microphoneAuthorizationStatus() = 0;
  // Asks the user. `handler` is called once, on a thread of the host's choosing,
  // with whether access was granted.
  virtual void requestMicrophoneAccess(std::function<void(bool granted)> handler) = 0;
};

}  // namespace velkin
