// Starting the game's own threads. A machine out of threads costs only the
// feature that wanted one: the game plays on without it.
#pragma once

#include <atomic>
#include <thread>

// Runs body on a new thread held by thread. When the system gives none,
// says "plu-vesk: no <feature>: cannot start a thread (why)" on stderr and
// returns false, thread left unjoinable; the caller then goes on without the
// feature and does not ask again, so the line comes once.
bool start_thread(std::thread& thread, void (*body)(), const char* feature);

// Waits at most ms, in naps of 5 ms, for flag to hold value; whether it
// does. For shut-downs that must not hang on a thread stuck in a library.
bool wait_for(const std::atomic<bool>& flag, bool value, int ms);
