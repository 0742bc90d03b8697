// The agent's entry over the scripted host, for process tests. The scenario
// comes from VELKIN_SCENARIO; segment files are written by the real media writer.
#include <cstdlib>
#include <iostream>

#include "ScriptedHost.hpp"
#include "app/VelkinCaptureApp.hpp"
#include "platform/sndfile/SndfileMediaWriter.hpp"

int main(int argc, char** argv) {
  const char* text = std::getenv("VELKIN_SCENARIO");
  auto scenario = velkin::scripted::Scenario::parse(text ? text : "");
  if (!scenario) {
    std::cerr << "velkin-capture-scripted: " << scenario.error().localizedDescription() << "\n";
    return 2;
  }
  velkin::scripted::ScriptedHost host(std::move(scenario.value()),
                                      velkin::makeSndfileMediaWriterService());
  return velkin::VelkinCaptureApp::run(argc, argv, host);
}
