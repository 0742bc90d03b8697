#include "platform/linux/LinuxDesktop.hpp"

namespace velkin {

namespace {

class LinuxPermissionService final : public PermissionService {
 public:
  bool preflightScreenCaptureAccess() override { return true; }
  bool requestScreenCaptureAccess() override { return true; }
  AuthorizationStatus microphoneAuthorizationStatus() override {
    return AuthorizationStatus::authorized;
  }
  void requestMicrophoneAccess(std::function<void(bool)> handler) override { handler(true); }
};

class LinuxApplicationService final : public ApplicationService {
 public:
  bool setActivationPolicy(ActivationPolicy) override { return false; }
  void activateIgnoringOtherApps(bool) override {}
};

}  // namespace

std::unique_ptr<PermissionService> makeLinuxPermissionService() {
  return std::make_unique<LinuxPermissionService>();
}

std::unique_ptr<ApplicationService> makeLinuxApplicationService() {
  return std::make_unique<LinuxApplicationService>();
}

}  // namespace velkin
