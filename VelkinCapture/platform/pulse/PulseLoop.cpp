#include "platform/pulse/PulseLoop.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace velkin::pulse {

namespace {

int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

}  // namespace

PulseLoop::PulseLoop() : kick_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PulseLoop::~PulseLoop() {
  stop();
  if (mainloop_ != nullptr) {
    pa_mainloop_free(mainloop_);
  }
  if (kick_ >= 0) {
    close(kick_);
  }
}

bool PulseLoop::start(const char* name) {
  assert(!worker_.joinable());
  if (!valid()) {
    return false;
  }
  pa_mainloop_set_poll_func(mainloop_, &PulseLoop::poll, this);
  // Held until the thread's id is known, so that its first callbacks see it.
  std::lock_guard guard(lock_);
  worker_ = std::thread([this, name] { run(name); });
  thread_.store(worker_.get_id());
  return true;
}

void PulseLoop::stop() {
  if (!worker_.joinable()) {
    return;
  }
  assert(!inThread());
  {
    std::lock_guard guard(lock_);
    pa_mainloop_quit(mainloop_, 0);
  }
  kick();
  worker_.join();
}

// The loop's thread.
void PulseLoop::run(const char* name) {
  pthread_setname_np(pthread_self(), name);
  std::lock_guard guard(lock_);
  int result = 0;
  pa_mainloop_run(mainloop_, &result);
}

void PulseLoop::unlock() {
  lock_.unlock();
  kick();
}

void PulseLoop::wait() {
  assert(!inThread());
  ++waiters_;
  kick();
  changed_.wait(lock_);
  --waiters_;
}

void PulseLoop::kick() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(kick_, &one, sizeof one);
}

namespace {

// An event made through the held table: libpulse checks that its callbacks get
// the table it made the event with, and the loop underneath only takes its own.
template <typename Callback, typename Destroy>
struct Relay {
  pa_mainloop_api* held;
  Callback callback;
  void* userdata;
  Destroy destroy = nullptr;
};
using IoRelay = Relay<pa_io_event_cb_t, pa_io_event_destroy_cb_t>;
using TimeRelay = Relay<pa_time_event_cb_t, pa_time_event_destroy_cb_t>;
using DeferRelay = Relay<pa_defer_event_cb_t, pa_defer_event_destroy_cb_t>;

pa_mainloop_api* ownApi(pa_mainloop_api* held) {
  return pa_mainloop_get_api(static_cast<pa_mainloop*>(held->userdata));
}

// Each relayed event's relay, for the set_destroy functions, which name only the
// event. Across loops, hence a lock of its own.
std::mutex relaysLock;
std::unordered_map<const void*, void*> relays;  // relaysLock

template <typename Relay>
void noteRelay(const void* event, Relay* relay) {
  std::lock_guard guard(relaysLock);
  relays[event] = relay;
}

template <typename Relay, typename Event, typename Destroy>
void setDestroy(Event* event, Destroy destroy) {
  std::lock_guard guard(relaysLock);
  static_cast<Relay*>(relays.at(event))->destroy = destroy;
}

// Runs where the loop frees the event.
template <typename Relay, typename Event>
void endRelay(pa_mainloop_api*, Event* event, void* userdata) {
  std::unique_ptr<Relay> relay(static_cast<Relay*>(userdata));
  {
    std::lock_guard guard(relaysLock);
    relays.erase(event);
  }
  if (relay->destroy != nullptr) {
    relay->destroy(relay->held, event, relay->userdata);
  }
}

}  // namespace

// Runs wherever libpulse makes, changes or frees the audio connections' events,
// with the lock held; the relays run on the loop's thread.
pa_mainloop_api* PulseLoop::heldApi() {
  pa_mainloop_api& held = heldApi_.api;
  held = *api();
  heldApi_.loop = this;
  held.io_new = [](pa_mainloop_api* a, int fd, pa_io_event_flags_t events,
                   pa_io_event_cb_t callback, void* userdata) {
    // Descriptor numbers are reused: one watched here is an audio connection's
    // until the connection ends with the loop.
    reinterpret_cast<HeldApi*>(a)->loop->heldFds_.insert(fd);
    pa_mainloop_api* own = ownApi(a);
    auto* relay = new IoRelay{a, callback, userdata};
    pa_io_event* event = own->io_new(
        own, fd, events,
        [](pa_mainloop_api*, pa_io_event* e, int fd, pa_io_event_flags_t f, void* r) {
          auto* relay = static_cast<IoRelay*>(r);
          relay->callback(relay->held, e, fd, f, relay->userdata);
        },
        relay);
    own->io_set_destroy(event, &endRelay<IoRelay, pa_io_event>);
    noteRelay(event, relay);
    return event;
  };
  held.io_set_destroy = &setDestroy<IoRelay, pa_io_event, pa_io_event_destroy_cb_t>;
  held.time_set_destroy = &setDestroy<TimeRelay, pa_time_event, pa_time_event_destroy_cb_t>;
  held.defer_set_destroy = &setDestroy<DeferRelay, pa_defer_event, pa_defer_event_destroy_cb_t>;
  held.time_new = [](pa_mainloop_api* a, const timeval* time, pa_time_event_cb_t callback,
                     void* userdata) {
    pa_mainloop_api* own = ownApi(a);
    auto* relay = new TimeRelay{a, callback, userdata};
    pa_time_event* event = own->time_new(
        own, time,
        [](pa_mainloop_api*, pa_time_event* e, const timeval* t, void* r) {
          auto* relay = static_cast<TimeRelay*>(r);
          relay->callback(relay->held, e, t, relay->userdata);
        },
        relay);
    own->time_set_destroy(event, &endRelay<TimeRelay, pa_time_event>);
    noteRelay(event, relay);
    return event;
  };
  held.defer_new = [](pa_mainloop_api* a, pa_defer_event_cb_t callback, void* userdata) {
    pa_mainloop_api* own = ownApi(a);
    auto* relay = new DeferRelay{a, callback, userdata};
    pa_defer_event* event = own->defer_new(
        own,
        [](pa_mainloop_api*, pa_defer_event* e, void* r) {
          auto* relay = static_cast<DeferRelay*>(r);
          relay->callback(relay->held, e, relay->userdata);
        },
        relay);
    own->defer_set_destroy(event, &endRelay<DeferRelay, pa_defer_event>);
    noteRelay(event, relay);
    return event;
  };
  held.quit = [](pa_mainloop_api* a, int result) { ownApi(a)->quit(ownApi(a), result); };
  return &held;
}

// Runs on the loop's thread with the lock held, which it releases while it sleeps.
// libpulse handles one packet per call: what queued during a pause is read in a
// burst of calls that do not block, and a burst that finds audio starts the next
// pause, so that a steady capture wakes once per pause.
int PulseLoop::poll(pollfd* fds, unsigned long count, int timeout, void* userdata) {
  auto& self = *static_cast<PulseLoop*>(userdata);
  int ready = ::poll(fds, nfds_t(count), 0);
  if (ready != 0 || timeout == 0) {
    return ready;
  }
  // Everything that came is handled: the loop is about to sleep.
  if (self.idle_) {
    self.idle_();
  }
  const int pauseMs = self.waiters_ == 0 && self.pause_ ? self.pause_() : 0;
  if (pauseMs > 0) {
    // Kicks so far are for changes that pause_ has just seen.
    uint64_t stale = 0;
    [[maybe_unused]] const ssize_t drained = ::read(self.kick_, &stale, sizeof stale);
  }
  const int64_t pause = pauseMs > 0 ? self.readStart_ + pauseMs - monotonicMs() : 0;
  if (pause > 0) {
    return self.sleep(fds, count, timeout, pause);
  }
  self.lock_.unlock();
  ready = ::poll(fds, nfds_t(count), timeout);
  self.lock_.lock();
  if (std::any_of(fds, fds + count, [&](const pollfd& fd) {
        return fd.revents != 0 && self.heldFds_.count(fd.fd);
      })) {
    self.readStart_ = monotonicMs();
  }
  return ready;
}

// The loop's thread, with the lock held: sleeps for at most `pause`, watching
// all but the audio connections' descriptors, and then all of them.
int PulseLoop::sleep(pollfd* fds, unsigned long count, int timeout, int64_t pause) {
  others_.assign(fds, fds + count);
  for (pollfd& fd : others_) {
    fd.revents = 0;
    if (heldFds_.count(fd.fd) != 0) {
      fd.fd = -1;
    }
  }
  others_.push_back(pollfd{kick_, POLLIN, 0});
  lock_.unlock();
  const int woken = ::poll(others_.data(), nfds_t(others_.size()),
                           timeout < 0 ? int(pause) : int(std::min<int64_t>(pause, timeout)));
  const bool paused = woken == 0 || others_.back().revents != 0;
  int ready = 0;
  if (paused) {
    // The pause is over (or a kick ended it): whatever queued meanwhile.
    ready = ::poll(fds, nfds_t(count), 0);
  }
  lock_.lock();
  if (paused) {
    uint64_t drained = 0;
    [[maybe_unused]] const ssize_t read = ::read(kick_, &drained, sizeof drained);
    if (ready > 0) {
      readStart_ = monotonicMs();
    }
    return ready;
  }
  // Something else woke the loop mid-pause: only that is handled now.
  for (unsigned long i = 0; i < count; ++i) {
    fds[i].revents = others_[i].revents;
  }
  return woken;
}

}  // namespace velkin::pulse
