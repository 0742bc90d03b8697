#include "app/VelkinCaptureApp.hpp"

#include <signal.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <cassert>
#include <chrono>
#include <exception>
#include <optional>
#include <system_error>

#include "app/CommandLine.hpp"
#include "app/ControlFiles.hpp"
#include "capture/CaptureController.hpp"
#include "platform/Console.hpp"
#include "platform/Process.hpp"

namespace velkin {

namespace {

constexpr auto kPollInterval = std::chrono::nanoseconds(500'000'000);
// How long an orderly exit waits for the last segments to close and be marked.
constexpr auto kFinishGrace = std::chrono::seconds(2);

[[noreturn]] void fail(const Error& error, const std::optional<std::filesystem::path>& errorFile) {
  if (errorFile) {
    writeControlFile(error.localizedDescription(), *errorFile);
  }
  writeStandardError("Velkin capture error: " + error.localizedDescription() + "\n");
  exitProcess(1);
}

}  // namespace

asio::awaitable<void> VelkinCaptureApp::main(Runtime& runtime, Host& host,
                                             std::vector<std::string> arguments) {
  assert(runtime.isMainThread());
  std::error_code ignored;
  std::error_code noDirectory;
  const std::filesystem::path currentDirectory = std::filesystem::current_path(noDirectory);
  if (noDirectory) {
    // A working directory that was deleted has no path: relative and default
    // paths would silently land at the file-system root. Refuse, and leave the
    // error file only where an absolute control directory says it goes.
    const auto absolute = [&](std::size_t i) {
      return i < arguments.size() && std::filesystem::path(arguments[i]).is_absolute();
    };
    if (!absolute(0) || !absolute(1)) {
      std::optional<std::filesystem::path> errorFile;
      if (absolute(1)) {
        errorFile = fileLocation(arguments[1], "/") / "capture.error";
      }
      fail(posixError(noDirectory.value(), "The current directory is unavailable"), errorFile);
    }
  }
  const Settings settings = resolveSettings(arguments, currentDirectory);
  const auto pidFile = settings.controlDirectory / "capture.pid";
  const auto readyFile = settings.controlDirectory / "capture.ready";
  const auto errorFile = settings.controlDirectory / "capture.error";
  const auto stopFile = settings.controlDirectory / "capture.stop";

  // Each step's failure is ignored: the first failure that matters is the start's.
  std::filesystem::create_directories(settings.segmentDirectory, ignored);
  std::filesystem::create_directories(settings.controlDirectory, ignored);
  std::filesystem::remove(readyFile, ignored);
  std::filesystem::remove(errorFile, ignored);
  // remove() takes an empty directory too; a stop request is stale whatever it is.
  std::filesystem::remove_all(stopFile, ignored);
  writeControlFile(std::to_string(::getpid()), pidFile);

  CaptureController controller(host, runtime, settings.segmentDirectory);

  std::optional<Error> failed =
      co_await asio::co_spawn(runtime.workerExecutor(), controller.start(), asio::use_awaitable);
  assert(runtime.isMainThread());
  if (failed) {
    fail(*failed, errorFile);
  }
  writeControlFile("ready", readyFile);

  asio::steady_timer timer(runtime.mainQueue());
  while (true) {
    if (entryExists(stopFile)) {
      break;
    }
    if (settings.parentPid && ::kill(*settings.parentPid, 0) != 0) {
      break;
    }
    timer.expires_after(kPollInterval);
    std::error_code waitError;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, waitError));
    assert(runtime.isMainThread());
    if (waitError) {
      fail(Error{"asio", waitError.value(), waitError.message()}, errorFile);
    }
  }

  co_await asio::co_spawn(runtime.workerExecutor(), controller.stop(), asio::use_awaitable);
  assert(runtime.isMainThread());
  // Nothing else needs the main thread now; the wait is bounded.
  (void)controller.waitForPendingFinishes(kFinishGrace);
}

int VelkinCaptureApp::run(int argc, char** argv, Host& host) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
  }
  Runtime runtime;
  std::exception_ptr escaped;
  asio::co_spawn(runtime.mainExecutor(), main(runtime, host, std::move(arguments)),
                 [&runtime, &escaped](std::exception_ptr error) {
                   escaped = error;
                   runtime.stopMain();
                 });
  runtime.runMain();
  if (escaped) {
    std::rethrow_exception(escaped);
  }
  return 0;
}

}  // namespace velkin
