#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cassert>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

// "On this queue" checks for state that has one owning queue. Active in debug
// builds, where NDEBUG is not defined.
#define VELKIN_ASSERT_ON(queue) assert((queue).isCurrent())

namespace velkin {

enum class QualityOfService {
  userInitiated,  // work the user waits on: audio delivery
  utility,        // background work that may lag: screen frames
};

// A serial queue: one thread of its own running the jobs posted to it, one at a
// time, in order. The thread carries the label as its name (truncated to the
// kernel's 15 characters) and the quality of service as its scheduling priority.
class SerialQueue {
 public:
  SerialQueue(std::string label, QualityOfService qos);
  // Runs the jobs already posted, then joins the thread.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  QualityOfService qos() const { return qos_; }
  bool isCurrent() const { return std::this_thread::get_id() == threadId_; }
  asio::io_context::executor_type executor() { return context_.get_executor(); }

  template <typename Job>
  void async(Job&& job) {
    asio::post(context_, std::forward<Job>(job));
  }

 private:
  std::string label_;
  QualityOfService qos_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  std::thread::id threadId_;
};

// The process's asynchronous runtime: the main queue, which the main thread runs
// for the life of the process, and a pool of worker threads.
class Runtime {
 public:
  explicit Runtime(std::size_t workerThreads = 2);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  asio::io_context& mainQueue() { return main_; }
  asio::any_io_executor mainExecutor() { return main_.get_executor(); }
  asio::any_io_executor workerExecutor() { return workers_.get_executor(); }

  // True on the thread that runs the main queue (the one that called `runMain`).
  bool isMainThread() const { return std::this_thread::get_id() == mainThread_.load(); }

  // Gives the calling thread to the main queue until `stopMain`.
  void runMain();
  void stopMain();

 private:
  asio::io_context main_;
  asio::executor_work_guard<asio::io_context::executor_type> mainWork_;
  asio::thread_pool workers_;
  std::atomic<std::thread::id> mainThread_;
};

// Moves the running coroutine to `executor`. A plain post on `use_awaitable`
// would resume on the coroutine's own executor; binding is what moves it.
template <typename Executor>
asio::awaitable<void> switchTo(Executor executor) {
  co_await asio::post(asio::bind_executor(executor, asio::use_awaitable));
}

// Awaits a host operation that reports once through a completion handler.
// `start` receives the handler; the host may call it on any thread. The caller
// resumes on its own executor, never on the host's thread, and only the first
// call counts: a second one is dropped rather than resuming a finished wait.
template <typename T, typename Start>
asio::awaitable<T> awaitCompletion(Start start) {
  return asio::async_initiate<const asio::use_awaitable_t<>, void(T)>(
      [](auto handler, Start start) {
        using Handler = decltype(handler);
        auto executor = asio::get_associated_executor(handler);
        auto slot = std::make_shared<std::optional<Handler>>(std::move(handler));
        auto called = std::make_shared<std::atomic<bool>>(false);
        std::function<void(T)> completion = [slot, executor, called](T value) {
          if (called->exchange(true)) {
            return;
          }
          asio::post(executor, [slot, value = std::move(value)]() mutable {
            Handler handler = std::move(**slot);
            slot->reset();
            std::move(handler)(std::move(value));
          });
        };
        start(std::move(completion));
      },
      asio::use_awaitable, std::move(start));
}

}  // namespace velkin
