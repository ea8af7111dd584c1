// The settings file: display mode, music switch and best total.
#pragma once

#include <cstddef>

extern int mode;        // 0 windowed, 1 full screen
extern int music_on;    // 0 music off, 1 on
extern int high_score;  // best total of any run
extern int kept_mode;   // the file's mode while the command line overrides it for this run, else -1

extern const char* const settings_file;  // "PV settings.dat"

void load_settings(const char* name);
// Replaces the file whole or not at all; returns false when it could not.
// A file that is a symbolic link stays one: its target is replaced.
bool save_settings(const char* name);
