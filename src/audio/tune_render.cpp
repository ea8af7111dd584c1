#include "audio/tune_render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "audio/fluid_library.h"
#include "audio/soundfont.h"
#include "audio/tune_file.h"
#include "audio/tune_loop.h"

std::atomic<bool> render_stop{false};
char render_problem[512];

// FluidSynth's default of 0.2 is faint; at 1.0 the tune at MIDI volume 150
// peaks near -16 dBFS, and at 255 near -7 dBFS.
static const double render_gain = 1.0;

static fluid_settings_t* settings;
static fluid_synth_t* synth;
static fluid_player_t* player;

static void close_synth() {
  if (player) fluid.delete_player(player);
  player = nullptr;
  if (synth) fluid.delete_synth(synth);
  synth = nullptr;
  if (settings) fluid.delete_settings(settings);
  settings = nullptr;
  // The SoundFont's samples go back to the system, not only to the heap.
  malloc_trim(0);
}

static int fail(int why) {
  close_synth();
  const char* chosen = getenv(soundfont_variable);
  if (why == RENDER_NO_LIBRARY)
    snprintf(render_problem, sizeof render_problem,
             "no music: the FluidSynth library (libfluidsynth.so.3) is not installed; "
             "install libfluidsynth3 and a General MIDI SoundFont such as timgm6mb-soundfont");
  else if (why == RENDER_NO_SOUNDFONT && chosen && *chosen)
    snprintf(render_problem, sizeof render_problem,
             "no music: %s=\"%s\" is not a SoundFont that can be loaded; "
             "point it to a General MIDI .sf2 file, or unset it",
             soundfont_variable, chosen);
  else if (why == RENDER_NO_SOUNDFONT)
    snprintf(render_problem, sizeof render_problem,
             "no music: no General MIDI SoundFont found (such as %s); install "
             "timgm6mb-soundfont or fluid-soundfont-gm, or set %s to a .sf2 file",
             soundfont_default, soundfont_variable);
  else
    snprintf(render_problem, sizeof render_problem, "no music: the render was stopped");
  return why;
}

// Allegro's player scaled every channel's volume controller by the MIDI
// volume before the synthesizer saw it: the tune keeps that level.
static int play_event(void*, fluid_midi_event_t* e) {
  if (fluid.event_type(e) == 0xB0 && fluid.event_control(e) == 7)
    return fluid.cc(synth, fluid.event_channel(e), 7, fluid.event_value(e) * render_volume / 256);
  return fluid.handle_midi_event(synth, e);
}

// The samples of the tune's instruments, loaded with the SoundFont, where a
// stopped render can still give up at the next read.
static void pin_tune_presets(int font) {
  if (!fluid.pin_preset) return;
  static bool used[midi_presets];
  std::fill(used, used + midi_presets, false);
  tune_presets(used);
  for (int i = 0; i < midi_presets; i++)
    if (used[i]) fluid.pin_preset(synth, font, i / 128, i % 128);
}

static short sample(float v) { return short(std::clamp(lrintf(v * 32767.0f), -32768L, 32767L)); }

int render_tune(void (*progress)()) {
  render_problem[0] = 0;
  if (!load_fluid_library()) return fail(RENDER_NO_LIBRARY);
  settings = fluid.new_settings();
  if (!settings) return fail(RENDER_NO_LIBRARY);
  fluid.settings_setnum(settings, "synth.sample-rate", loop_rate);
  fluid.settings_setnum(settings, "synth.gain", render_gain);
  // Only the samples of the instruments the tune uses: a large SoundFont
  // then loads in a fraction of the time and memory.
  fluid.settings_setint(settings, "synth.dynamic-sample-loading", 1);
  fluid.settings_setint(settings, "synth.threadsafe-api", 0);  // one thread only
  fluid.settings_setstr(settings, "player.timing-source", "sample");
  if (!choose_soundfont()) return fail(RENDER_NO_SOUNDFONT);
  synth = fluid.new_synth(settings);
  if (!synth) return fail(RENDER_NO_LIBRARY);
  int font = load_soundfont(synth, settings, &render_stop);
  if (render_stop) return fail(RENDER_STOPPED);
  if (font == FLUID_FAILED) return fail(RENDER_NO_SOUNDFONT);
  pin_tune_presets(font);
  player = fluid.new_player(synth);
  if (!player) return fail(RENDER_NO_LIBRARY);
  fluid.set_playback_callback(player, play_event, nullptr);
  if (fluid.add_mem(player, tune_bytes, size_t(tune_size)) != FLUID_OK || fluid.play(player) != FLUID_OK)
    return fail(RENDER_NO_LIBRARY);

  // The tune, then what sounds on after it until it falls silent.
  tune_loop& l = music_loop;
  static float left[loop_block], right[loop_block];
  static short frames[2 * loop_block];
  int64_t at = 0, last_said = 0;
  bool lowered = false;
  for (;;) {
    if (render_stop) return fail(RENDER_STOPPED);
    int64_t end = at < l.frames ? l.frames : l.frames + loop_tail_limit;
    int n = int(std::min<int64_t>(loop_block, end - at));
    if (n <= 0) break;
    fluid.write_float(synth, n, left, 0, 1, right, 0, 1);
    bool tune = at < l.frames, silent = true;
    short* to = tune ? frames : l.tail + 2 * (at - l.frames);
    for (int i = 0; i < n; i++) {
      to[2 * i] = sample(left[i]);
      to[2 * i + 1] = sample(right[i]);
      silent = silent && to[2 * i] == 0 && to[2 * i + 1] == 0;
    }
    at += n;
    if (tune) add_to_loop(frames, n);
    else l.rendered = at;
    if (!tune && silent) break;
    if (at - last_said >= loop_rate) {
      last_said = at;
      progress();
    }
    if (!lowered && at >= render_head) {
      lowered = true;
      setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), render_priority);
    }
  }
  l.tail_frames = int(std::max<int64_t>(0, at - l.frames));
  l.complete = true;
  close_synth();
  progress();
  return RENDER_OK;
}
