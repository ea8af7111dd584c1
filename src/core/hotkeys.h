// Esc and Tab, polled from the library's timer every 10 ms, and the pause key.
#pragma once

#include <atomic>

extern std::atomic<bool> pad_escape;  // a connected gamepad's Back is down: Esc, as last sampled
extern bool pad_pause;                // a connected gamepad's Start is down, as last sampled

void global_keys();

// On the main thread, in a run: true when P, Pause or a pad's Start has gone
// down since the last call.
bool pause_pressed();
