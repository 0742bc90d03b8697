#include "app/VelkinCaptureApp.hpp"

#include <signal.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <cassert>
#include <chrono>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>

#include "app/CommandLine.hpp"
#include "app/ControlFiles.hpp"
#include "app/RunDirectories.hpp"
#include "capture/CaptureController.hpp"
#include "platform/Console.hpp"
#include "platform/Process.hpp"

namespace velkin {

namespace {

constexpr auto kPollInterval = std::chrono::nanoseconds(500'000'000);
// How long an orderly exit waits for the last segments to close and be marked.
constexpr auto kFinishGrace = std::chrono::seconds(2);

// `control` is null where no control directory of this run can hold the error.
// The text goes out as UTF-8 without control characters, whatever it quotes.
[[noreturn]] void fail(const Error& error, const Directory* control) {
  const std::string text = escapeText(error.localizedDescription());
  if (control) {
    (void)writeControlFile(text, *control, "capture.error");
  }
  writeStandardError("Velkin capture error: " + text + "\n");
  exitProcess(1);
}

// The settings, or the one start failure that reading them meets. A deleted
// working directory has no path: relative and default paths would silently
// land at the file-system root, so the starts that need it fail. When the
// control directory is still known (absolute), the failure is reported there;
// otherwise it ends the process at once.
Settings readSettings(const std::vector<std::string>& arguments, std::optional<Error>& failure) {
  std::error_code noDirectory;
  const std::filesystem::path currentDirectory = std::filesystem::current_path(noDirectory);
  if (!noDirectory) {
    return resolveSettings(arguments, currentDirectory);
  }
  Settings options;
  const std::span<const std::string> positional = readOptions(arguments, options);
  const auto absolute = [&](std::size_t i) {
    return i < positional.size() && std::filesystem::path(positional[i]).is_absolute();
  };
  if (!absolute(0) || (positional.size() > 1 && !absolute(1))) {
    failure = posixError(noDirectory.value(), "The current directory is unavailable");
    if (!absolute(1)) {
      fail(*failure, nullptr);
    }
  }
  return resolveSettings(arguments, "/");
}

}  // namespace

asio::awaitable<void> VelkinCaptureApp::main(Runtime& runtime, Host& host,
                                             std::vector<std::string> arguments) {
  assert(runtime.isMainThread());
  ignoreResourceSignals();
  // The poll's wait, and whether a stop signal came: both on the main thread only.
  asio::steady_timer timer(runtime.mainQueue());
  bool stopRequested = false;
  // Set while the start is under way: a stop signal then ends the start, unless
  // `capture` has printed its readiness line already.
  const Directory* starting = nullptr;
  const CaptureController* capture = nullptr;
  // SIGTERM, SIGINT and SIGHUP ask for the orderly stop that "capture.stop" asks
  // for. The first puts back the default action, so a second ends the process.
  // During the start (a server that never answers, a permission prompt) there
  // is nothing to stop yet: the start fails at once, the usual way.
  asio::signal_set stopSignals(runtime.mainQueue(), SIGTERM, SIGINT, SIGHUP);
  stopSignals.async_wait([&](const std::error_code& error, int signal) {
    // Runs on the main thread. An aborted wait may outlive main's frame.
    if (error) {
      return;
    }
    if (starting != nullptr && !capture->hasAnnounced()) {
      fail(Error{"Velkin", signal,
                 std::string("The start was cancelled by ") + (signal == SIGINT   ? "SIGINT"
                                                               : signal == SIGHUP ? "SIGHUP"
                                                                                  : "SIGTERM")},
           starting);
    }
    stopRequested = true;
    std::error_code ignored;
    stopSignals.clear(ignored);
    timer.cancel();
  });

  std::optional<Error> failure;
  const Settings settings = readSettings(arguments, failure);
  std::optional<ParentProcess> parent;
  if (settings.parentArgument) {
    // 0 and -1 name every process of a group or of the system, never one that
    // ends; -2147483648 has no group number to name.
    const std::optional<int32_t> pid = settings.parentPid;
    if (!pid || *pid == 0 || *pid == -1 || *pid == std::numeric_limits<int32_t>::min()) {
      writeStandardError("Velkin capture warning: the parent pid " +
                         escapeText(*settings.parentArgument) +
                         " names no single process; no parent is watched\n");
    } else {
      parent.emplace(*pid);
    }
  }

  // Both locks come before anything in either directory changes, so that a
  // second agent leaves every file of the running one alone.
  if (auto unprintable = checkPrintable(settings.controlDirectory, "control")) {
    fail(*unprintable, nullptr);
  }
  HeldDirectory control;
  if (auto unusable = HeldDirectory::open(settings.controlDirectory, "control", control)) {
    fail(*unusable, nullptr);
  }
  if (auto busy = control.lock()) {
    fail(*busy, nullptr);
  }
  HeldDirectory segments;
  if (!failure && settings.unknownOption) {
    failure = Error{"Velkin", EINVAL,
                    "Unknown option " + escapeText(*settings.unknownOption) +
                        ": the agent takes --echo-cancel, and -- before a segment directory "
                        "that begins with -"};
  }
  if (!failure) {
    failure = checkPrintable(settings.segmentDirectory, "segment");
  }
  if (!failure) {
    failure = HeldDirectory::open(settings.segmentDirectory, "segment", segments);
  }
  if (!failure && !segments.sameAs(control)) {
    failure = segments.lock();
  }

  // The control directory is this run's now: an earlier run's files go, even
  // when the start fails, so that no stale "capture.ready" outlives it. From
  // here on both directories are reached through their descriptors alone.
  const Directory& controlDirectory = control.directory();
  (void)controlDirectory.remove("capture.ready");
  (void)controlDirectory.remove("capture.error");
  std::optional<Error> staleStop = removeStaleStop(control);
  if (const std::error_code unwritable =
          writeControlFile(std::to_string(::getpid()), controlDirectory, "capture.pid")) {
    fail(posixError(unwritable.value(), control.described() + " cannot hold capture.pid"), nullptr);
  }
  if (!failure) {
    failure = std::move(staleStop);
  }
  if (!failure) {
    failure = probeWritable(segments);
  }
  if (!failure) {
    failure = checkFileSizeLimit();
  }
  if (failure) {
    fail(*failure, &controlDirectory);
  }

  CaptureController controller(host, runtime, segments.directory());
  controller.cancelEcho(settings.echoCancel);

  capture = &controller;
  starting = &controlDirectory;
  std::optional<Error> failed =
      co_await asio::co_spawn(runtime.workerExecutor(), controller.start(), asio::use_awaitable);
  assert(runtime.isMainThread());
  starting = nullptr;
  if (failed) {
    fail(*failed, &controlDirectory);
  }
  (void)writeControlFile("ready", controlDirectory, "capture.ready");

  while (!stopRequested && !entryExists(controlDirectory, "capture.stop") &&
         !(parent && parent->hasEnded())) {
    timer.expires_after(kPollInterval);
    std::error_code waitError;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, waitError));
    assert(runtime.isMainThread());
    if (waitError && !stopRequested) {
      fail(Error{"asio", waitError.value(), waitError.message()}, &controlDirectory);
    }
  }

  co_await asio::co_spawn(runtime.workerExecutor(), controller.stop(), asio::use_awaitable);
  assert(runtime.isMainThread());
  // Nothing else needs the main thread now; the wait is bounded. A finish still
  // pending after it (a stalled disk) holds threads that the controller's and
  // the host's destructors would join: end here instead, its segment unmarked.
  if (!controller.waitForPendingFinishes(kFinishGrace)) {
    exitProcess(0);
  }
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
