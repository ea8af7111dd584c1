#include "audio/soundfont.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const soundfont_variable = "PLU_VESK_SOUNDFONT";
const char* const soundfont_default = "/usr/share/sounds/sf2/default-GM.sf2";
char soundfont_file[1024];

// General MIDI SoundFonts, in the order tried after the player's own choice:
// first the one the system has made its default (Debian points this name at
// the best GM SoundFont installed, or the one chosen with
// update-alternatives), then the usual files by name, the small ones first.
// Compressed .sf3 files come last: they unpack as they load, which takes
// seconds, and the larger ones hold more memory unpacked than FluidR3 does.
static const char* const soundfont_places[] = {
  soundfont_default,
  "/usr/share/sounds/sf2/TimGM6mb.sf2",
  "/usr/share/sounds/sf2/FluidR3_GM.sf2",
  "/usr/share/soundfonts/default.sf2",
  "/usr/share/soundfonts/FluidR3_GM.sf2",
  "/usr/share/sounds/sf3/default-GM.sf3",
  "/usr/share/sounds/sf3/FluidR3Mono_GM.sf3",
  "/usr/share/sounds/sf3/MuseScore_General.sf3",
};

bool choose_soundfont() {
  const char* chosen = getenv(soundfont_variable);
  if (chosen && *chosen) {
    snprintf(soundfont_file, sizeof soundfont_file, "%s", chosen);
    return true;  // the player's choice is tried even if absent, and reported
  }
  for (const char* place : soundfont_places) {
    if (access(place, R_OK) == 0) {
      snprintf(soundfont_file, sizeof soundfont_file, "%s", place);
      return true;
    }
  }
  soundfont_file[0] = 0;
  return false;
}

// FluidSynth tries its own loader when ours fails, which would then read a
// stopped load in full: the name it is given carries a mark that only ours
// opens. Ours reads in blocks: FluidSynth reads its tables a few bytes at a time.
static const char soundfont_mark[] = "plu-vesk:";

static const std::atomic<bool>* stop_reading;  // the flag of the load under way

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
    if (*stop_reading) return FLUID_FAILED;
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

int load_soundfont(fluid_synth_t* synth, fluid_settings_t* settings, const std::atomic<bool>* stop) {
  if (!fluid.is_soundfont(soundfont_file)) return FLUID_FAILED;
  // Tried before FluidSynth's own loader; the synthesizer frees it.
  fluid_sfloader_t* reader = fluid.new_defsfloader(settings);
  if (!reader) return FLUID_FAILED;
  stop_reading = stop;
  fluid.sfloader_set_callbacks(reader, soundfont_open, soundfont_read, soundfont_seek, soundfont_tell,
                               soundfont_close);
  fluid.add_sfloader(synth, reader);
  char marked[sizeof soundfont_mark + sizeof soundfont_file];
  snprintf(marked, sizeof marked, "%s%s", soundfont_mark, soundfont_file);
  return fluid.sfload(synth, marked, 1);
}
