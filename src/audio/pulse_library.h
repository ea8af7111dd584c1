// libpulse, the client library of PulseAudio's protocol, which PipeWire's
// PulseAudio service speaks too: opened at run time, so that a machine
// without it plays silent instead of not starting.
#pragma once

#include <pulse/pulseaudio.h>

// libpulse's entry points, looked up in the library. The types come from its
// header, so a changed signature fails to compile here.
struct pulse_api {
  decltype(&pa_mainloop_new) mainloop_new;
  decltype(&pa_mainloop_get_api) mainloop_get_api;
  decltype(&pa_mainloop_prepare) mainloop_prepare;
  decltype(&pa_mainloop_poll) mainloop_poll;
  decltype(&pa_mainloop_dispatch) mainloop_dispatch;
  decltype(&pa_proplist_new) proplist_new;
  decltype(&pa_proplist_sets) proplist_sets;
  decltype(&pa_proplist_free) proplist_free;
  decltype(&pa_context_new_with_proplist) context_new;
  decltype(&pa_context_connect) context_connect;
  decltype(&pa_context_get_state) context_state;
  decltype(&pa_context_disconnect) context_disconnect;
  decltype(&pa_context_unref) context_unref;
  decltype(&pa_stream_new_with_proplist) stream_new;
  decltype(&pa_stream_connect_playback) stream_connect;
  decltype(&pa_stream_get_state) stream_state;
  decltype(&pa_stream_writable_size) stream_writable;
  decltype(&pa_stream_begin_write) stream_begin_write;
  decltype(&pa_stream_cancel_write) stream_cancel_write;
  decltype(&pa_stream_write) stream_write;
  decltype(&pa_stream_cork) stream_cork;
  decltype(&pa_stream_get_time) stream_time;
  decltype(&pa_stream_disconnect) stream_disconnect;
  decltype(&pa_stream_unref) stream_unref;
  decltype(&pa_operation_unref) operation_unref;
};

extern pulse_api pulse;  // every entry point, or all null where libpulse could not be loaded

// Loads libpulse once; false where it is not installed.
bool load_pulse_library();
