#include "audio/pulse_library.h"

#include "core/library_entries.h"

pulse_api pulse;

static bool find_entries(void* lib, pulse_api& found) {
  FIND_ENTRY(mainloop_new, pa_mainloop_new);
  FIND_ENTRY(mainloop_get_api, pa_mainloop_get_api);
  FIND_ENTRY(mainloop_prepare, pa_mainloop_prepare);
  FIND_ENTRY(mainloop_poll, pa_mainloop_poll);
  FIND_ENTRY(mainloop_dispatch, pa_mainloop_dispatch);
  FIND_ENTRY(proplist_new, pa_proplist_new);
  FIND_ENTRY(proplist_sets, pa_proplist_sets);
  FIND_ENTRY(proplist_free, pa_proplist_free);
  FIND_ENTRY(context_new, pa_context_new_with_proplist);
  FIND_ENTRY(context_connect, pa_context_connect);
  FIND_ENTRY(context_state, pa_context_get_state);
  FIND_ENTRY(context_disconnect, pa_context_disconnect);
  FIND_ENTRY(context_unref, pa_context_unref);
  FIND_ENTRY(stream_new, pa_stream_new_with_proplist);
  FIND_ENTRY(stream_connect, pa_stream_connect_playback);
  FIND_ENTRY(stream_state, pa_stream_get_state);
  FIND_ENTRY(stream_writable, pa_stream_writable_size);
  FIND_ENTRY(stream_begin_write, pa_stream_begin_write);
  FIND_ENTRY(stream_cancel_write, pa_stream_cancel_write);
  FIND_ENTRY(stream_write, pa_stream_write);
  FIND_ENTRY(stream_cork, pa_stream_cork);
  FIND_ENTRY(stream_time, pa_stream_get_time);
  FIND_ENTRY(stream_disconnect, pa_stream_disconnect);
  FIND_ENTRY(stream_unref, pa_stream_unref);
  FIND_ENTRY(operation_unref, pa_operation_unref);
  return true;
}

bool load_pulse_library() {
  if (pulse.mainloop_new) return true;
  // Never unloaded (libpulse will not be anyway): one lookup a run.
  static void* lib = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  pulse_api found;
  if (!find_entries(lib, found)) return false;
  pulse = found;
  return true;
}
