#include "app/VelkinCaptureApp.hpp"
#include "platform/Host.hpp"

int main(int argc, char** argv) {
  const std::unique_ptr<velkin::Host> host = velkin::makeHost();
  return velkin::VelkinCaptureApp::run(argc, argv, *host);
}
