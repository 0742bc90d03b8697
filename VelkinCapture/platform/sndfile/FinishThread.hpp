#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace velkin {

// The one thread on which files are closed, shared by the service and every
// writer it made, so that a writer that outlives the service can still finish.
// The thread holds the queue it serves, never this object: it can be left to
// finish a stalled job on its own.
class FinishThread {
 public:
  using Job = std::function<void()>;

  FinishThread() : queue_(std::make_shared<Queue>()) {
    thread_ = std::thread([queue = queue_] { queue->run(); });
  }
  ~FinishThread() { shutDown(std::chrono::milliseconds(0)); }
  FinishThread(const FinishThread&) = delete;
  FinishThread& operator=(const FinishThread&) = delete;

  // Hands `job` to the finishing thread. False, with `job` untouched, once the
  // service has shut the thread down.
  bool post(Job& job) {
    std::lock_guard guard(queue_->lock);
    if (queue_->closed) {
      return false;
    }
    queue_->jobs.push_back(std::move(job));
    queue_->wake.notify_one();
    return true;
  }

  // Refuses new jobs, and gives those already handed over up to `bound` to run.
  // A job still running then (a disk that stalls in fsync) is left to the
  // thread, which ends on its own: no owner waits on the disk without a bound,
  // and the file of a finish that never ran is never marked.
  void shutDown(std::chrono::milliseconds bound) {
    if (!thread_.joinable()) {
      return;
    }
    std::unique_lock guard(queue_->lock);
    queue_->closed = true;
    queue_->wake.notify_one();
    const bool ended = queue_->wake.wait_for(guard, bound, [this] { return queue_->ended; });
    guard.unlock();
    if (ended) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }

 private:
  struct Queue {
    std::mutex lock;  // guards jobs, closed and ended
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool closed = false;
    bool ended = false;

    // The finishing thread's loop: every job handed over, then the end.
    void run() {
      std::unique_lock guard(lock);
      while (true) {
        wake.wait(guard, [this] { return closed || !jobs.empty(); });
        if (jobs.empty()) {
          ended = true;
          wake.notify_all();
          return;
        }
        Job job = std::move(jobs.front());
        jobs.pop_front();
        guard.unlock();
        job();
        job = nullptr;  // what it captured goes on this thread, outside the lock
        guard.lock();
      }
    }
  };

  const std::shared_ptr<Queue> queue_;
  std::thread thread_;
};

}  // namespace velkin
