// Esc and Tab, polled from the timer every 10 ms while either may be down,
// and the pause key.
#pragma once

#include <atomic>

extern std::atomic<bool> pad_escape;  // a connected gamepad's Back is down: Esc, as last sampled
extern bool pad_pause;                // a connected gamepad's Start is down, as last sampled

void global_keys();
// Whether a call of global_keys would do nothing: the timer lets it rest then.
bool hot_keys_up();

// On the main thread, in a run: true when P, Pause or a pad's Start has gone
// down since the last call.
bool pause_pressed();
