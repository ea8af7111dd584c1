#include "audio/music_driver.h"

#include <algorithm>
#include <allegro/internal/aintern.h>
#include <allegro/platform/aintunix.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// FluidSynth's entry points, looked up in the library at run time. The types
// come from its header, so a changed signature fails to compile here.
struct fluid_api {
  decltype(&new_fluid_settings) new_settings;
  decltype(&delete_fluid_settings) delete_settings;
  decltype(&fluid_settings_setstr) settings_setstr;
  decltype(&fluid_settings_setnum) settings_setnum;
  decltype(&fluid_settings_setint) settings_setint;
  decltype(&fluid_set_log_function) set_log_function;
  decltype(&fluid_is_soundfont) is_soundfont;
  decltype(&new_fluid_synth) new_synth;
  decltype(&delete_fluid_synth) delete_synth;
  decltype(&fluid_synth_sfload) sfload;
  decltype(&new_fluid_defsfloader) new_defsfloader;
  decltype(&fluid_sfloader_set_callbacks) sfloader_set_callbacks;
  decltype(&fluid_synth_add_sfloader) add_sfloader;
  decltype(&new_fluid_audio_driver) new_audio_driver;
  decltype(&delete_fluid_audio_driver) delete_audio_driver;
  decltype(&fluid_synth_noteon) noteon;
  decltype(&fluid_synth_noteoff) noteoff;
  decltype(&fluid_synth_key_pressure) key_pressure;
  decltype(&fluid_synth_cc) cc;
  decltype(&fluid_synth_program_change) program_change;
  decltype(&fluid_synth_channel_pressure) channel_pressure;
  decltype(&fluid_synth_pitch_bend) pitch_bend;
  decltype(&fluid_synth_write_s16) write_s16;
  decltype(&fluid_synth_pin_preset) pin_preset;  // null before FluidSynth 2.2
};

// Filled by load_fluidsynth; every pointer set or the whole record null.
static fluid_api fluid;
static bool fluid_tried;

const char* const soundfont_variable = "PLU_VESK_SOUNDFONT";
fluid_settings_t* music_settings;
fluid_synth_t* music_synth;
fluid_audio_driver_t* music_audio;
std::atomic<bool> music_ready{false};
std::atomic<bool> music_stop_load{false};
char soundfont_file[1024];
char music_problem[512];

MIDI_DRIVER music_driver = {
  AL_ID('F', 'L', 'S', 'Y'), "FluidSynth", "FluidSynth software synthesizer", "FluidSynth",
  0, 0, 0xFFFF, 0, -1, -1,  // raw MIDI: Allegro allocates no voices of ours
  music_detect, music_init, music_exit, NULL, NULL,
  music_raw_midi,
  // A raw driver never receives these, but load_midi_patches calls through them.
  _dummy_load_patches, _dummy_adjust_patches, _dummy_key_on,
  _dummy_noop1, _dummy_noop2, _dummy_noop3, _dummy_noop2, _dummy_noop2,
};

// The desktop's sound server first; plain ALSA for a machine without one.
// PulseAudio's protocol before PipeWire's own: a PipeWire desktop serves it
// too (pipewire-pulse), and only there does the stream take the name the
// game gives it. Debian's FluidSynth has no PipeWire output anyway; a name
// this build lacks simply fails to open.
static const char* const audio_outputs[] = {"pulseaudio", "pipewire", "alsa"};

// General MIDI SoundFonts, in the order tried after the player's own choice:
// first the one the system has made its default (Debian points this name at
// the best GM SoundFont installed, or the one chosen with
// update-alternatives), then the usual files by name, the small ones first.
// Compressed .sf3 files come last: they unpack as they load, which takes
// seconds, and the larger ones hold more memory unpacked than FluidR3 does.
static const char* const soundfont_places[] = {
  "/usr/share/sounds/sf2/default-GM.sf2",
  "/usr/share/sounds/sf2/TimGM6mb.sf2",
  "/usr/share/sounds/sf2/FluidR3_GM.sf2",
  "/usr/share/soundfonts/default.sf2",
  "/usr/share/soundfonts/FluidR3_GM.sf2",
  "/usr/share/sounds/sf3/default-GM.sf3",
  "/usr/share/sounds/sf3/FluidR3Mono_GM.sf3",
  "/usr/share/sounds/sf3/MuseScore_General.sf3",
};

// Two periods of 3072 frames: the output thread and the sound server's
// client thread wake 14 times a second instead of 690 with FluidSynth's 64
// frames, which halves what the music costs, for 139 ms of latency.
static const int audio_period = 3072;
static const int audio_periods = 2;

// Fixed: Allegro already scales every channel's volume controller by the MIDI
// volume of set_volume before the bytes reach the driver, so scaling the gain
// as well would apply it twice. FluidSynth's default of 0.2 is faint; at 1.0
// the tune at MIDI volume 150 peaks near -16 dBFS, and at 255 near -7 dBFS.
static const double music_gain = 1.0;

static void quiet_fluid_log(int, const char*, void*) {}

// alsa-lib's error handler; its prototype, so alsa-lib's headers are not needed.
typedef void (*alsa_error_handler)(const char* file, int line, const char* function, int err,
                                   const char* fmt, ...);
static void quiet_alsa_log(const char*, int, const char*, int, const char*, ...) {}

// Fills one entry of the record from the library, or gives up on it.
#define FIND(entry, symbol)                                                     \
  found.entry = reinterpret_cast<decltype(found.entry)>(dlsym(lib, #symbol)); \
  if (!found.entry) {                                                           \
    dlclose(lib);                                                               \
    return false;                                                               \
  }

static bool load_fluidsynth() {
  if (fluid_tried) return fluid.write_s16 != NULL;
  fluid_tried = true;
  void* lib = dlopen("libfluidsynth.so.3", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  fluid_api found;
  FIND(new_settings, new_fluid_settings);
  FIND(delete_settings, delete_fluid_settings);
  FIND(settings_setstr, fluid_settings_setstr);
  FIND(settings_setnum, fluid_settings_setnum);
  FIND(settings_setint, fluid_settings_setint);
  FIND(set_log_function, fluid_set_log_function);
  FIND(is_soundfont, fluid_is_soundfont);
  FIND(new_synth, new_fluid_synth);
  FIND(delete_synth, delete_fluid_synth);
  FIND(sfload, fluid_synth_sfload);
  FIND(new_defsfloader, new_fluid_defsfloader);
  FIND(sfloader_set_callbacks, fluid_sfloader_set_callbacks);
  FIND(add_sfloader, fluid_synth_add_sfloader);
  FIND(new_audio_driver, new_fluid_audio_driver);
  FIND(delete_audio_driver, delete_fluid_audio_driver);
  FIND(noteon, fluid_synth_noteon);
  FIND(noteoff, fluid_synth_noteoff);
  FIND(key_pressure, fluid_synth_key_pressure);
  FIND(cc, fluid_synth_cc);
  FIND(program_change, fluid_synth_program_change);
  FIND(channel_pressure, fluid_synth_channel_pressure);
  FIND(pitch_bend, fluid_synth_pitch_bend);
  FIND(write_s16, fluid_synth_write_s16);
  found.pin_preset = reinterpret_cast<decltype(found.pin_preset)>(dlsym(lib, "fluid_synth_pin_preset"));
  fluid = found;
  for (int level = FLUID_PANIC; level <= FLUID_DBG; level++)
    fluid.set_log_function(level, quiet_fluid_log, NULL);
  return true;
}
#undef FIND

void quiet_sound_libraries() {
  static bool quieted = false;
  load_fluidsynth();
  if (quieted) return;
  quieted = true;
  // Shares the copy FluidSynth loads, so the handler covers its probes too.
  // Missing alsa-lib means nothing to quiet.
  void* lib = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return;
  typedef int (*set_handler)(alsa_error_handler);
  set_handler set = reinterpret_cast<set_handler>(dlsym(lib, "snd_lib_error_set_handler"));
  if (set) set(quiet_alsa_log);
}

void name_music_stream() {
  // libpulse takes these when the output connects. FluidSynth names its
  // client itself, which only an override replaces; the player's own
  // settings of the same names stay.
  setenv("PULSE_PROP_OVERRIDE_application.name", "Plu Vesk", 0);
  setenv("PULSE_PROP_OVERRIDE_application.icon_name", "plu-vesk", 0);
  setenv("PULSE_PROP_OVERRIDE_media.role", "game", 0);
}

// The SoundFont is read through these instead of FluidSynth's stdio calls, so
// that a load no longer wanted stops at its next read from the disk. They
// read in blocks: FluidSynth reads its tables a few bytes at a time.
// FluidSynth tries its own loader when ours fails, which would then read a
// stopped load in full: the name it is given carries a mark that only ours
// opens.
static const char soundfont_mark[] = "plu-vesk:";

struct soundfont_reader {
  int fd;
  long long size;      // the file's
  long long at;        // where FluidSynth reads next
  long long block_at;  // the file offset of block[0]
  long long held;      // bytes in block
  unsigned char block[65536];
};

static void* soundfont_open(const char* name) {
  if (strncmp(name, soundfont_mark, strlen(soundfont_mark)) != 0) return NULL;
  int fd = open(name + strlen(soundfont_mark), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return NULL;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return NULL;
  }
  soundfont_reader* r = new soundfont_reader;
  r->fd = fd;
  r->size = st.st_size;
  r->at = r->block_at = r->held = 0;
  return r;
}

static int soundfont_read(void* buf, fluid_long_long_t count, void* handle) {
  soundfont_reader* r = static_cast<soundfont_reader*>(handle);
  unsigned char* to = static_cast<unsigned char*>(buf);
  while (count > 0) {
    if (r->at >= r->block_at && r->at < r->block_at + r->held) {
      long long n = std::min<long long>(count, r->block_at + r->held - r->at);
      memcpy(to, r->block + (r->at - r->block_at), n);
      to += n;
      r->at += n;
      count -= n;
      continue;
    }
    if (music_stop_load) return FLUID_FAILED;
    ssize_t n;
    if (count >= (fluid_long_long_t)sizeof r->block) {
      // Samples straight to their place, a megabyte at most between looks at the flag.
      n = pread(r->fd, to, std::min<long long>(count, 1 << 20), r->at);
      if (n <= 0) return FLUID_FAILED;
      to += n;
      r->at += n;
      count -= n;
    } else {
      n = pread(r->fd, r->block, sizeof r->block, r->at);
      if (n <= 0) return FLUID_FAILED;
      r->block_at = r->at;
      r->held = n;
    }
  }
  return FLUID_OK;
}

static int soundfont_seek(void* handle, fluid_long_long_t offset, int origin) {
  soundfont_reader* r = static_cast<soundfont_reader*>(handle);
  long long from = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? r->at : r->size;
  if (from + offset < 0) return FLUID_FAILED;
  r->at = from + offset;
  return FLUID_OK;
}

static fluid_long_long_t soundfont_tell(void* handle) { return static_cast<soundfont_reader*>(handle)->at; }

static int soundfont_close(void* handle) {
  soundfont_reader* r = static_cast<soundfont_reader*>(handle);
  int status = close(r->fd);
  delete r;
  return status == 0 ? FLUID_OK : FLUID_FAILED;
}

// The samples of the tune's instruments, loaded here rather than on the
// player's thread as the tune selects them: from a compressed SoundFont they
// unpack for a tenth of a second, which held up the timer thread and a
// stop_midi waiting for it. Pinned, they stay until the synth closes.
static void pin_tune_presets(const MIDI* tune, int font) {
  if (!fluid.pin_preset) return;
  bool used[midi_presets] = {};
  for (int t = 0; t < MIDI_TRACKS; t++) midi_track_presets(tune->track[t].data, tune->track[t].len, used);
  for (int i = 0; i < midi_presets; i++)
    if (used[i]) fluid.pin_preset(music_synth, font, i / 128, i % 128);
}

static bool file_readable(const char* name) { return access(name, R_OK) == 0; }

// Picks the SoundFont into soundfont_file; false when there is none to try.
static bool choose_soundfont() {
  const char* chosen = getenv(soundfont_variable);
  if (chosen && *chosen) {
    snprintf(soundfont_file, sizeof soundfont_file, "%s", chosen);
    return true;  // the player's choice is tried even if absent, and reported
  }
  for (const char* place : soundfont_places) {
    if (file_readable(place)) {
      snprintf(soundfont_file, sizeof soundfont_file, "%s", place);
      return true;
    }
  }
  soundfont_file[0] = 0;
  return false;
}

static int fail(int why) {
  music_close();
  const char* chosen = getenv(soundfont_variable);
  if (why == MUSIC_NO_LIBRARY)
    snprintf(music_problem, sizeof music_problem,
             "no music: the FluidSynth library (libfluidsynth.so.3) is not installed; "
             "install libfluidsynth3 and a General MIDI SoundFont such as timgm6mb-soundfont");
  else if (why == MUSIC_NO_SOUNDFONT && chosen && *chosen)
    snprintf(music_problem, sizeof music_problem,
             "no music: %s=\"%s\" is not a SoundFont that can be loaded; "
             "point it to a General MIDI .sf2 file, or unset it",
             soundfont_variable, chosen);
  else if (why == MUSIC_NO_SOUNDFONT)
    snprintf(music_problem, sizeof music_problem,
             "no music: no General MIDI SoundFont found (such as %s); install "
             "timgm6mb-soundfont or fluid-soundfont-gm, or set %s to a .sf2 file",
             soundfont_places[0], soundfont_variable);
  else
    snprintf(music_problem, sizeof music_problem,
             "no music: no audio output could be opened (PipeWire, PulseAudio or ALSA); "
             "start the desktop's sound server or check the sound device");
  return why;
}

int music_open(bool audio_output, const MIDI* tune) {
  music_close();
  music_problem[0] = 0;
  quiet_sound_libraries();
  if (!load_fluidsynth()) return fail(MUSIC_NO_LIBRARY);

  music_settings = fluid.new_settings();
  if (!music_settings) return fail(MUSIC_NO_LIBRARY);
  fluid.settings_setnum(music_settings, "synth.gain", music_gain);
  fluid.settings_setint(music_settings, "audio.period-size", audio_period);
  fluid.settings_setint(music_settings, "audio.periods", audio_periods);
  // Only the samples of the instruments the tune uses: a large SoundFont
  // then loads in a fraction of the time and memory.
  fluid.settings_setint(music_settings, "synth.dynamic-sample-loading", 1);
  // Else FluidSynth's output sets the role in the environment, with setenv on
  // this thread while others may read it; name_music_stream set ours.
  fluid.settings_setstr(music_settings, "audio.pulseaudio.media-role", "");
  if (!choose_soundfont() || !fluid.is_soundfont(soundfont_file)) return fail(MUSIC_NO_SOUNDFONT);
  music_synth = fluid.new_synth(music_settings);
  if (!music_synth) return fail(MUSIC_NO_LIBRARY);
  // Tried before FluidSynth's own loader; the synthesizer frees it.
  fluid_sfloader_t* reader = fluid.new_defsfloader(music_settings);
  if (!reader) return fail(MUSIC_NO_LIBRARY);
  fluid.sfloader_set_callbacks(reader, soundfont_open, soundfont_read, soundfont_seek, soundfont_tell,
                               soundfont_close);
  fluid.add_sfloader(music_synth, reader);

  // The output before the SoundFont: a large one takes a second to load,
  // wasted where nothing could be heard. Until it is in, the output plays silence.
  if (audio_output) {
    for (const char* name : audio_outputs) {
      if (fluid.settings_setstr(music_settings, "audio.driver", name) != FLUID_OK) continue;
      music_audio = fluid.new_audio_driver(music_settings, music_synth);
      if (music_audio) break;
    }
    if (!music_audio) return fail(MUSIC_NO_AUDIO);
  }
  char marked[sizeof soundfont_mark + sizeof soundfont_file];
  snprintf(marked, sizeof marked, "%s%s", soundfont_mark, soundfont_file);
  int font = fluid.sfload(music_synth, marked, 1);
  if (font == FLUID_FAILED) return fail(MUSIC_NO_SOUNDFONT);
  if (tune) pin_tune_presets(tune, font);
  midi_parser_reset();
  music_ready = true;  // publishes the synth to the thread that plays the tune
  return MUSIC_OK;
}

void music_close() {
  music_ready = false;
  // The output first: its thread renders from the synth.
  if (music_audio) fluid.delete_audio_driver(music_audio);
  music_audio = NULL;
  if (music_synth) fluid.delete_synth(music_synth);
  music_synth = NULL;
  if (music_settings) fluid.delete_settings(music_settings);
  music_settings = NULL;
}

void music_render(short* samples, int frames) {
  fluid.write_s16(music_synth, frames, samples, 0, 2, samples, 1, 2);
}

void midi_apply(fluid_synth_t* synth, const midi_event* e) {
  int channel = e->status & 0x0F;
  switch (e->status & 0xF0) {
    case 0x80: fluid.noteoff(synth, channel, e->data1); break;
    case 0x90:
      if (e->data2) fluid.noteon(synth, channel, e->data1, e->data2);
      else fluid.noteoff(synth, channel, e->data1);
      break;
    case 0xA0: fluid.key_pressure(synth, channel, e->data1, e->data2); break;
    case 0xB0: fluid.cc(synth, channel, e->data1, e->data2); break;
    case 0xC0: fluid.program_change(synth, channel, e->data1); break;
    case 0xD0: fluid.channel_pressure(synth, channel, e->data1); break;
    case 0xE0: fluid.pitch_bend(synth, channel, e->data1 | (e->data2 << 7)); break;
  }
}

// Allegro takes the driver whatever this machine has: the synthesizer and
// the output open only when the music is switched on, and say then if they
// cannot.
int music_detect(int input) { return input ? FALSE : TRUE; }

int music_init(int input, int) { return input ? -1 : 0; }

void music_exit(int) { music_close(); }

// Called on Allegro's timer thread by the player, and on the main thread by
// play_midi and stop_midi once the player is halted: never both at once.
void music_raw_midi(int data) {
  midi_event e;
  if (music_ready && midi_parse_byte((unsigned char)data, &e)) midi_apply(music_synth, &e);
}

void register_music_driver() { _unix_register_midi_driver(music_driver.id, &music_driver, TRUE, TRUE); }
