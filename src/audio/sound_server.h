// The desktop's sound server, over PulseAudio's protocol (PipeWire's
// PulseAudio service speaks it too), and the stream that plays music_loop,
// named in the mixer as the game's music. All of it runs on the music
// thread, in a libpulse main loop of its own where nothing blocks: a server
// that does not answer only keeps a connection from becoming ready, and each
// step toward it has a time limit.
#pragma once

#include <cstdint>

// What the connection to the server is doing.
enum { SERVER_NONE, SERVER_CONNECTING, SERVER_READY, SERVER_FAILED };

const int server_step_ms = 2000;  // the longest a connection or a stream may take to be ready

// Loads libpulse and makes the main loop, which also wakes when wake_fd is
// written to; false where libpulse is missing.
bool open_sound_loop(int wake_fd);
// Runs the main loop until something happened, wake_fd was written to, or
// timeout_ms passed (-1 for no limit). Without a main loop, only waits.
void wait_for_sound(int wake_fd, int timeout_ms);
// The connection's state, the stream's included: FAILED once either failed
// or a step toward them ran out of time.
int server_state();
void connect_server();
// Closes the stream and the connection, whatever their state.
void disconnect_server();
// Opens the stream once the connection is ready, playing from loop_position
// on, held still from the start when `held`. False when it cannot be made.
bool start_stream(bool held);
bool stream_started();  // there is a stream, ready or on its way
bool stream_ready();    // it plays: the server takes its frames
void hold_stream(bool held);
// Writes as much of the loop as the server has room for.
void feed_stream();
// The loop position heard up to now, as far as the server last said.
int64_t stream_heard();
