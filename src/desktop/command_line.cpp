#include "desktop/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "desktop/display.h"

#ifndef PV_VERSION
#define PV_VERSION "unknown"
#endif

const char* const usage_line =
    "usage: plu-vesk [--window | --fullscreen] [--scale N] [--replay FILE | --verify-replay FILE] [--help] "
    "[--version]";

const char* const help_text =
    "Usage: plu-vesk [--window | --fullscreen] [--scale N]\n"
    "       plu-vesk [--window | --fullscreen] [--scale N] --replay FILE\n"
    "       plu-vesk --verify-replay FILE\n"
    "       plu-vesk --help | --version\n"
    "Plu Vesk: bounce a blue ball from cloud to cloud as they drift down the sky.\n"
    "\n"
    "  --window       play in a window this time: saves keep the mode the\n"
    "                 settings file holds until the mode is switched in the\n"
    "                 options menu; after that they keep the last choice there\n"
    "  --fullscreen   play in full screen this time, likewise\n"
    "  --scale N      show each pixel of the 640x480 picture as an N x N square in\n"
    "                 the window, N from 1 to 8 (by default the largest that keeps\n"
    "                 the window within 90% of the screen); full screen always takes\n"
    "                 the largest that fits the screen\n"
    "  --replay FILE  play the run recorded in FILE in the window, then end;\n"
    "                 the last line printed is \"total N\"\n"
    "  --verify-replay FILE\n"
    "                 replay FILE without a display, as fast as it goes, print\n"
    "                 \"total N\" and end with status 0 when the run reaches the\n"
    "                 total FILE records, 3 when it does not, 2 when FILE is\n"
    "                 damaged or no replay\n"
    "  --help         show this help and end\n"
    "  --version      show the version and end\n"
    "\n"
    "Arrows steer and move the menus' cursor, space jumps and chooses, R on the\n"
    "title watches the best run, Esc goes back to the title, Tab saves \"Plu Vesk\n"
    "screenshot.bmp\". The game keeps \"PV settings.dat\", its screenshots and\n"
    "the replays \"PV last run.replay\" and \"PV best run.replay\" in the\n"
    "directory it runs in, and reads \"bubble.pcx\" and \"sky.mid\" from there.\n";

const char* const version_text = "Plu Vesk " PV_VERSION "\n";
const char* replay_to_watch = nullptr;
const char* replay_to_verify = nullptr;

static int refuse(const char* what, const char* arg) {
  fprintf(stderr, "plu-vesk: %s %s; %s\n", what, arg, usage_line);
  return 2;
}

// A scale from 1 to max_scale written in plain digits, or 0.
static int scale_from(const char* text) {
  if (!text || !*text || strlen(text) > 2) return 0;
  int k = 0;
  for (const char* c = text; *c; c++) {
    if (*c < '0' || *c > '9') return 0;
    k = k * 10 + (*c - '0');
  }
  return k >= 1 && k <= max_scale ? k : 0;
}

int read_command_line(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0) {
      fputs(help_text, stdout);
      return 0;
    }
    if (strcmp(arg, "--version") == 0) {
      fputs(version_text, stdout);
      return 0;
    }
    if (strcmp(arg, "--window") == 0 || strcmp(arg, "--fullscreen") == 0) {
      int m = arg[2] == 'w' ? 0 : 1;
      if (forced_mode >= 0 && forced_mode != m) return refuse("cannot play both in a window and in full screen:", arg);
      forced_mode = m;
    } else if (strcmp(arg, "--scale") == 0 || strncmp(arg, "--scale=", 8) == 0) {
      const char* value = arg[7] == '=' ? arg + 8 : (i + 1 < argc ? argv[++i] : nullptr);
      forced_scale = scale_from(value);
      if (!forced_scale) return refuse("--scale takes a whole number from 1 to 8, not", value ? value : "nothing");
    } else if (strcmp(arg, "--replay") == 0 || strcmp(arg, "--verify-replay") == 0) {
      if (replay_to_watch || replay_to_verify) return refuse("one replay at a time:", arg);
      if (i + 1 == argc) return refuse("no file after", arg);
      (arg[2] == 'r' ? replay_to_watch : replay_to_verify) = argv[++i];
    } else {
      return refuse(arg[0] == '-' ? "unknown option" : "unexpected argument", arg);
    }
  }
  return -1;
}
