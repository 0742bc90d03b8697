// The floor of this audio stack: a libpulse client that records what the agent
// records (the monitor of the default sink and the default source) the way the
// agent asks for it (float32, 48000 Hz, stereo, PA_STREAM_ADJUST_LATENCY with a
// 20 ms fragment), counts the frames and throws the data away. Nothing is
// converted, dated, queued or written, so its CPU time is what the server
// connection alone costs; scripts/bench-peers runs it beside the agent.
//
//   bare_reader [stop-file]
//
// Prints "BARE_READER_READY" on stdout once both streams record, and at the end
// "BARE_READER_FRAMES monitor=<frames> source=<frames>". Stops on SIGTERM or
// SIGINT, or once the stop file exists (checked every 100 ms). Exits 1 when the
// server refuses or drops either stream.

#include <pulse/pulseaudio.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr uint32_t sampleRate = 48000;
constexpr uint8_t channelCount = 2;
constexpr pa_usec_t fragmentUsec = 20'000;
constexpr pa_usec_t stopPollUsec = 100'000;

struct Reader;

struct Track {
  Reader* reader = nullptr;
  const char* name = "";
  const char* device = "";
  pa_stream* stream = nullptr;
  bool ready = false;
  uint64_t bytes = 0;
};

struct Reader {
  pa_mainloop* mainloop = nullptr;
  pa_context* context = nullptr;
  std::array<Track, 2> tracks;
  std::string stopFile;
  bool announced = false;
  int status = 0;

  void quit(int code) {
    if (code != 0) {
      status = code;
    }
    pa_mainloop_quit(mainloop, status);
  }
};

const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, sampleRate, channelCount};

void onRead(pa_stream* stream, size_t, void* userdata) {
  auto* track = static_cast<Track*>(userdata);
  const void* data = nullptr;
  size_t length = 0;
  while (pa_stream_readable_size(stream) > 0) {
    if (pa_stream_peek(stream, &data, &length) < 0) {
      std::fprintf(stderr, "bare_reader: %s: %s\n", track->name,
                   pa_strerror(pa_context_errno(track->reader->context)));
      track->reader->quit(1);
      return;
    }
    if (length == 0) {
      break;  // nothing queued after all
    }
    // A hole (data == nullptr) stands for frames the server did not have; they
    // still count, as they would in a recording.
    track->bytes += length;
    pa_stream_drop(stream);
  }
}

void onStreamState(pa_stream* stream, void* userdata) {
  auto* track = static_cast<Track*>(userdata);
  Reader& reader = *track->reader;
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      track->ready = true;
      if (!reader.announced && reader.tracks[0].ready && reader.tracks[1].ready) {
        reader.announced = true;
        std::printf("BARE_READER_READY\n");
        std::fflush(stdout);
      }
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      std::fprintf(stderr, "bare_reader: %s stream ended: %s\n", track->name,
                   pa_strerror(pa_context_errno(reader.context)));
      reader.quit(1);
      break;
    default:
      break;
  }
}

bool openTrack(Track& track) {
  track.stream = pa_stream_new(track.reader->context, track.name, &sampleSpec, nullptr);
  if (track.stream == nullptr) {
    return false;
  }
  pa_stream_set_state_callback(track.stream, &onStreamState, &track);
  pa_stream_set_read_callback(track.stream, &onRead, &track);
  pa_buffer_attr attributes{};
  attributes.maxlength = uint32_t(-1);
  attributes.tlength = uint32_t(-1);
  attributes.prebuf = uint32_t(-1);
  attributes.minreq = uint32_t(-1);
  attributes.fragsize = uint32_t(pa_usec_to_bytes(fragmentUsec, &sampleSpec));
  return pa_stream_connect_record(track.stream, track.device, &attributes,
                                  PA_STREAM_ADJUST_LATENCY) == 0;
}

void onContextState(pa_context* context, void* userdata) {
  auto* reader = static_cast<Reader*>(userdata);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      for (Track& track : reader->tracks) {
        if (!openTrack(track)) {
          std::fprintf(stderr, "bare_reader: cannot record %s: %s\n", track.name,
                       pa_strerror(pa_context_errno(context)));
          reader->quit(1);
          return;
        }
      }
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      std::fprintf(stderr, "bare_reader: audio server: %s\n",
                   pa_strerror(pa_context_errno(context)));
      reader->quit(1);
      break;
    default:
      break;
  }
}

void onSignal(pa_mainloop_api*, pa_signal_event*, int, void* userdata) {
  static_cast<Reader*>(userdata)->quit(0);
}

void onStopPoll(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* userdata) {
  auto* reader = static_cast<Reader*>(userdata);
  if (access(reader->stopFile.c_str(), F_OK) == 0) {
    reader->quit(0);
    return;
  }
  pa_context_rttime_restart(reader->context, event, pa_rtclock_now() + stopPollUsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: bare_reader [stop-file]\n");
    return 2;
  }
  Reader reader;
  reader.tracks[0] = Track{&reader, "monitor", "@DEFAULT_MONITOR@"};
  reader.tracks[1] = Track{&reader, "source", "@DEFAULT_SOURCE@"};
  if (argc == 2) {
    reader.stopFile = argv[1];
  }

  reader.mainloop = pa_mainloop_new();
  pa_mainloop_api* api = pa_mainloop_get_api(reader.mainloop);
  if (pa_signal_init(api) < 0) {
    std::fprintf(stderr, "bare_reader: cannot watch signals\n");
    return 1;
  }
  pa_signal_new(SIGTERM, &onSignal, &reader);
  pa_signal_new(SIGINT, &onSignal, &reader);
  reader.context = pa_context_new(api, "bare_reader");
  pa_context_set_state_callback(reader.context, &onContextState, &reader);
  if (!reader.stopFile.empty()) {
    pa_context_rttime_new(reader.context, pa_rtclock_now() + stopPollUsec, &onStopPoll, &reader);
  }
  if (pa_context_connect(reader.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    std::fprintf(stderr, "bare_reader: cannot connect: %s\n",
                 pa_strerror(pa_context_errno(reader.context)));
    return 1;
  }
  int status = 0;
  pa_mainloop_run(reader.mainloop, &status);

  const auto frameBytes = uint64_t(pa_frame_size(&sampleSpec));
  std::printf("BARE_READER_FRAMES monitor=%llu source=%llu\n",
              static_cast<unsigned long long>(reader.tracks[0].bytes / frameBytes),
              static_cast<unsigned long long>(reader.tracks[1].bytes / frameBytes));
  std::fflush(stdout);

  for (Track& track : reader.tracks) {
    if (track.stream != nullptr) {
      pa_stream_set_state_callback(track.stream, nullptr, nullptr);
      pa_stream_set_read_callback(track.stream, nullptr, nullptr);
      pa_stream_disconnect(track.stream);
      pa_stream_unref(track.stream);
    }
  }
  pa_context_set_state_callback(reader.context, nullptr, nullptr);
  pa_context_disconnect(reader.context);
  pa_context_unref(reader.context);
  pa_signal_done();
  pa_mainloop_free(reader.mainloop);
  return reader.status;
}
