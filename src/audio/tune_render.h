// The tune rendered once, with the chosen SoundFont, into music_loop by
// FluidSynth's own player, timed by the samples rendered rather than a
// clock: as fast as the processor goes, the first seconds at the thread's
// own priority so that the tune can start at once, the rest at a low one.
// The synthesizer and the SoundFont are freed as soon as it is done.
#pragma once

#include <atomic>

#include "audio/tune_loop.h"

// Why a render gave no tune; render_problem holds the whole sentence.
const int RENDER_OK = 0;
const int RENDER_NO_LIBRARY = 1;
const int RENDER_NO_SOUNDFONT = 2;
const int RENDER_STOPPED = 3;

const int render_volume = 150;         // the tune's MIDI volume, of 255
const int render_head = 3 * loop_rate;    // frames rendered before the thread lowers its priority
const int render_priority = 10;        // the nice value it lowers it to

extern std::atomic<bool> render_stop;  // set, the render gives up at its next block or SoundFont read
extern char render_problem[512];       // why the last render failed

// Renders tune_bytes into music_loop, made beforehand for tune_seconds.
// Calls progress after every second of sound and at the end. Loads
// FluidSynth; the caller unloads it once this thread is done with it.
int render_tune(void (*progress)());
