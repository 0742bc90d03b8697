#pragma once

#include <poll.h>
#include <pulse/mainloop.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace velkin::pulse {

// The libpulse thread: a plain main loop on a thread of ours, with one lock that
// every callback runs under and that other threads take (through MainloopLock)
// before touching anything the loop owns, and wait()/signal() on that lock.
//
// Unlike libpulse's own threaded loop, it need not wake for every packet the
// server sends. A source hands audio on as often as its sink's player asks, for
// each track apart; while audio flows, the loop may let the audio connections'
// sockets fill for a pause (the audio just queues) and then handle whatever came,
// all tracks at once. How long, and whether at all, its owner says (setPause).
// Only what is made through heldApi() waits out a pause: the loop still wakes at
// once for anything else (another connection's events, its own timers), for a
// thread that releases the lock after using it, and throughout while a thread
// waits on it.
class PulseLoop {
 public:
  PulseLoop();
  // Stops the thread if it still runs. Not on the loop's thread.
  ~PulseLoop();
  PulseLoop(const PulseLoop&) = delete;
  PulseLoop& operator=(const PulseLoop&) = delete;

  // Whether the loop could be made; ask before anything else.
  bool valid() const { return mainloop_ != nullptr && kick_ >= 0; }
  pa_mainloop_api* api() const { return pa_mainloop_get_api(mainloop_); }
  // The same loop, for the audio connections: the descriptors it watches are the
  // ones a pause holds back. Before start().
  pa_mainloop_api* heldApi();
  // Starts the thread, named `name`. Once, not holding the lock.
  bool start(const char* name);
  // Ends and joins the thread. Not on it, not holding the lock.
  void stop();
  bool inThread() const { return std::this_thread::get_id() == thread_.load(); }

  // Any thread but the loop's.
  void lock() { lock_.lock(); }
  // Lets the loop run at once, to act on whatever the caller changed.
  void unlock();
  // With the lock held, not on the loop's thread: releases the lock until
  // signal() is called (or spuriously), the loop running without pause meanwhile.
  void wait();
  // With the lock held: `pause`, asked on the loop's thread with the lock held
  // before it sleeps, gives how long after the start of a read the next may
  // start, in milliseconds; 0, or no function, lets packets wake the loop.
  void setPause(std::function<int()> pause) { pause_ = std::move(pause); }
  // With the lock held: `idle` runs on the loop's thread, with the lock held,
  // whenever the loop has handled what came and is about to sleep.
  void setIdle(std::function<void()> idle) { idle_ = std::move(idle); }
  // With the lock held: wakes every wait().
  void signal() { changed_.notify_all(); }

 private:
  static int poll(pollfd* fds, unsigned long count, int timeout, void* userdata);
  int sleep(pollfd* fds, unsigned long count, int timeout, int64_t pause);

  // heldApi(): the loop's own functions; io_new also notes the descriptor.
  struct HeldApi {
    pa_mainloop_api api;  // first: libpulse hands its address back to newHeldIo
    PulseLoop* loop;
  };
  void run(const char* name);
  void kick();

  pa_mainloop* mainloop_ = pa_mainloop_new();
  int kick_;  // an eventfd: wakes the loop out of its pause
  std::recursive_mutex lock_;
  std::condition_variable_any changed_;
  int waiters_ = 0;             // lock_
  std::function<int()> pause_;  // lock_
  std::function<void()> idle_;  // lock_
  int64_t readStart_ = 0;       // loop's thread, CLOCK_MONOTONIC ms
  HeldApi heldApi_{};
  std::unordered_set<int> heldFds_;  // lock_
  std::vector<pollfd> others_;       // loop's thread: what a pause still watches
  std::thread worker_;               // the creating thread
  std::atomic<std::thread::id> thread_{};
};

}  // namespace velkin::pulse
