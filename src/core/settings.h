// The settings file: display mode, music switch and best total.
#pragma once

#include <cstddef>

extern int mode;        // 0 windowed, 1 full screen
extern int music_on;    // 0 music off, 1 on
extern int high_score;  // best total of any run
extern int kept_mode;   // the file's mode while the command line overrides it for this run, else -1

extern bool told_foreign_link;  // the file was said this run to lead through another user's link

extern const char* const settings_file;  // "PV settings.dat"

// Through the player's own symbolic links only (or root's); another user's
// link reads as no file and is replaced by the next save, as said once a run
// on stderr. Anything not a regular file (a FIFO, a directory) reads as no
// file too, never waited on and said on stderr; a save replaces it unless it
// is a directory.
void load_settings(const char* name);
// Replaces the file whole or not at all, keeping its permissions; returns
// false when it could not. A file that is a link of the player's stays one:
// its target is replaced.
bool save_settings(const char* name);
