#pragma once

#include <cstdint>

namespace velkin::pulse {

// How long the libpulse thread lets audio queue between reads (the pause of
// PulseLoop), so that it wakes for both tracks at once, a few times a second,
// however the server hands the audio on: PipeWire a fragment at a time for each
// track apart, a PulseAudio monitor every piece its sink renders, as small as a
// call app's short latency makes them (hundreds a second). Once the connection's
// socket is full, PulseAudio gathers what comes next into fragment-sized pieces
// and holds them until the socket drains.
//
// The pause stays within what each track's socket can hold at the pace measured
// (one ReadPace per socket), so that little waits at the server, where a stream
// that ends would lose it. The kernel counts each piece's bookkeeping (about
// 2 KiB: a header and the audio, each in a socket buffer of its own) against the
// 128 KiB that libpulse gives a socket (ss -xm shows it). Pure arithmetic: the
// caller counts what arrived and reads the clock.
class ReadPace {
 public:
  struct Limits {
    int64_t maxPauseUsec = 0;
    int64_t budgetBytes = 0;  // what may queue in the socket
    int64_t pieceOverheadBytes = 0;
    int64_t windowNanoseconds = 0;  // the pace is measured over at least this long
  };

  explicit ReadPace(const Limits& limits) : limits_(limits) {}

  // Forgets the pace: no pause until it is measured again.
  void reset() { *this = ReadPace(limits_); }
  // After a read: `pieces` and `bytes` received in all so far, at `now` (ns).
  void update(int64_t now, int64_t pieces, int64_t bytes);
  int64_t pauseUsec() const { return pauseUsec_; }

 private:
  Limits limits_;
  int64_t pauseUsec_ = 0;
  int64_t since_ = -1;  // start of the current window; -1: none yet
  int64_t pieces_ = 0;
  int64_t bytes_ = 0;
};

}  // namespace velkin::pulse
