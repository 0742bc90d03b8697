#include "platform/Host.hpp"
#include "platform/linux/LinuxDesktop.hpp"
#include "platform/pulse/PulseCaptureService.hpp"
#include "platform/sndfile/SndfileMediaWriter.hpp"
#include "platform/webrtc/WebrtcEchoCanceller.hpp"

namespace velkin {

namespace {

class LinuxHost final : public Host {
 public:
  PermissionService& permissions() override { return *permissions_; }
  ApplicationService& application() override { return *application_; }
  CaptureService& capture() override { return *capture_; }
  MediaWriterService& mediaWriter() override { return *mediaWriter_; }
  EchoCancellerService& echoCanceller() override { return *echoCanceller_; }

 private:
  std::unique_ptr<PermissionService> permissions_ = makeLinuxPermissionService();
  std::unique_ptr<ApplicationService> application_ = makeLinuxApplicationService();
  std::unique_ptr<MediaWriterService> mediaWriter_ = makeSndfileMediaWriterService();
  std::unique_ptr<CaptureService> capture_ = makePulseCaptureService();
  std::unique_ptr<EchoCancellerService> echoCanceller_ = makeWebrtcEchoCancellerService();
};

}  // namespace

std::unique_ptr<Host> makeHost() {
  return std::make_unique<LinuxHost>();
}

}  // namespace velkin
