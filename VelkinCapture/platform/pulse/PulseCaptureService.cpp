#include "platform/pulse/PulseCaptureService.hpp"

#include "platform/Dispatch.hpp"
#include "platform/linux/DrmDisplay.hpp"
#include "platform/pulse/PulseCaptureStream.hpp"
#include "platform/pulse/PulseConnection.hpp"

namespace velkin {

namespace {

class PulseCaptureService final : public CaptureService {
 public:
  void getShareableContent(bool, bool, ContentHandler handler) override {
    // Runs on the service's queue: connecting blocks until the server answers.
    queue_.async([handler = std::move(handler)] {
      Result<std::unique_ptr<pulse::PulseConnection>> connection =
          pulse::PulseConnection::open("Velkin Capture");
      if (!connection) {
        handler(connection.error());
        return;
      }
      connection.value().reset();
      // Linux offers no screen capture here: the one display stands for the
      // desktop, so that a stream can be configured as on any host.
      handler(ShareableContent{{firstConnectedDrmDisplay()}});
    });
  }

  std::unique_ptr<CaptureStream> makeStream(const ContentFilter&,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    return pulse::makeCaptureStream(configuration, delegate);
  }

 private:
  SerialQueue queue_{"velkin.pulse.svc", QualityOfService::userInitiated};
};

}  // namespace

std::unique_ptr<CaptureService> makePulseCaptureService() {
  return std::make_unique<PulseCaptureService>();
}

}  // namespace velkin
