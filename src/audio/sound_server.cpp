#include "audio/sound_server.h"

#include <algorithm>
#include <poll.h>
#include <unistd.h>

#include "audio/pulse_library.h"
#include "audio/tune_loop.h"
#include "core/clock.h"

static pa_mainloop* loop;       // null where libpulse is missing
static pa_context* context;     // the connection, null when there is none
static pa_stream* stream;       // the music's stream, null when there is none
static int step_began;          // ms_clock when the connection or stream was asked for
static bool held;               // the stream is corked
static int64_t stream_origin;   // the loop position of the stream's first frame
static int64_t heard;           // the loop position heard, as last worked out
static int heard_at;            // ms_clock then

// The server takes a second of sound ahead and asks for more every half
// second: it wakes the music thread twice a second, and the tune starts once
// a fifth of a second is in.
static const int buffer_ms = 1000, request_ms = 500, start_ms = 200;

static uint32_t bytes_of(int ms) { return uint32_t(int64_t(loop_rate) * ms / 1000 * 4); }

static void drain_wake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*) {
  uint64_t n;
  ssize_t got = read(fd, &n, sizeof n);
  (void)got;  // nothing there: woken for nothing
}

bool open_sound_loop(int wake_fd) {
  if (!loop && load_pulse_library() && (loop = pulse.mainloop_new())) {
    pa_mainloop_api* api = pulse.mainloop_get_api(loop);
    api->io_new(api, wake_fd, PA_IO_EVENT_INPUT, drain_wake, nullptr);
  }
  return loop != nullptr;
}

void wait_for_sound(int wake_fd, int timeout_ms) {
  if (!loop) {
    pollfd p{wake_fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) > 0) drain_wake(nullptr, nullptr, wake_fd, PA_IO_EVENT_INPUT, nullptr);
    return;
  }
  pulse.mainloop_prepare(loop, timeout_ms < 0 ? -1 : timeout_ms * 1000);
  pulse.mainloop_poll(loop);
  pulse.mainloop_dispatch(loop);
}

int server_state() {
  if (!context) return SERVER_NONE;
  pa_context_state_t c = pulse.context_state(context);
  if (c == PA_CONTEXT_FAILED || c == PA_CONTEXT_TERMINATED) return SERVER_FAILED;
  pa_stream_state_t s = stream ? pulse.stream_state(stream) : PA_STREAM_READY;
  if (s == PA_STREAM_FAILED || s == PA_STREAM_TERMINATED) return SERVER_FAILED;
  bool ready = c == PA_CONTEXT_READY && s == PA_STREAM_READY;
  if (!ready && ms_clock() - step_began > server_step_ms) return SERVER_FAILED;
  return c == PA_CONTEXT_READY ? SERVER_READY : SERVER_CONNECTING;
}

void connect_server() {
  disconnect_server();
  // The player's own PULSE_PROP_OVERRIDE_ settings still win over these.
  pa_proplist* props = pulse.proplist_new();
  pulse.proplist_sets(props, PA_PROP_APPLICATION_NAME, "Plu Vesk");
  pulse.proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "plu-vesk");
  context = pulse.context_new(pulse.mainloop_get_api(loop), "Plu Vesk", props);
  pulse.proplist_free(props);
  step_began = ms_clock();
  // Never a server of the game's own making: the desktop's, or none.
  if (context) pulse.context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
}

void disconnect_server() {
  if (stream) {
    pulse.stream_disconnect(stream);
    pulse.stream_unref(stream);
  }
  stream = nullptr;
  if (context) {
    pulse.context_disconnect(context);
    pulse.context_unref(context);
  }
  context = nullptr;
}

bool start_stream(bool hold) {
  pa_sample_spec format{PA_SAMPLE_S16NE, uint32_t(loop_rate), 2};
  pa_proplist* props = pulse.proplist_new();
  pulse.proplist_sets(props, PA_PROP_MEDIA_ROLE, "game");
  stream = pulse.stream_new(context, "Music", &format, nullptr, props);
  pulse.proplist_free(props);
  if (!stream) return false;
  pa_buffer_attr attr{uint32_t(-1), bytes_of(buffer_ms), bytes_of(start_ms), bytes_of(request_ms), uint32_t(-1)};
  int flags = PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | (hold ? PA_STREAM_START_CORKED : 0);
  if (pulse.stream_connect(stream, nullptr, &attr, pa_stream_flags_t(flags), nullptr, nullptr) != 0) return false;
  held = hold;
  step_began = ms_clock();
  stream_origin = heard = loop_position;
  heard_at = ms_clock();
  return true;
}

bool stream_started() { return stream != nullptr; }

bool stream_ready() { return stream && pulse.stream_state(stream) == PA_STREAM_READY; }

void hold_stream(bool hold) {
  if (!stream_ready() || hold == held) return;
  stream_heard();  // up to the moment it stops
  held = hold;
  pa_operation* op = pulse.stream_cork(stream, hold, nullptr, nullptr);
  if (op) pulse.operation_unref(op);
}

void feed_stream() {
  if (!stream_ready()) return;
  for (size_t room = pulse.stream_writable(stream); room >= 4;) {
    void* data;
    size_t bytes = room;
    if (pulse.stream_begin_write(stream, &data, &bytes) != 0 || bytes < 4) return;
    int frames = take_from_loop(static_cast<short*>(data), int(std::min(bytes, room) / 4));
    if (frames == 0) {
      pulse.stream_cancel_write(stream);
      return;
    }
    pulse.stream_write(stream, data, size_t(frames) * 4, nullptr, 0, PA_SEEK_RELATIVE);
    room -= std::min(room, size_t(frames) * 4);
  }
}

int64_t stream_heard() {
  pa_usec_t usec;
  if (stream_ready() && pulse.stream_time(stream, &usec) == 0) {
    heard = stream_origin + int64_t(usec * loop_rate / 1000000);
    heard_at = ms_clock();
  } else if (!held) {
    // Gone: it played on since the server last said, up to what it was given.
    heard += int64_t(ms_clock() - heard_at) * loop_rate / 1000;
    heard_at = ms_clock();
  }
  return std::min(heard, loop_position);
}
