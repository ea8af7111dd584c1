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

// The file a name finally leads to, through any symbolic links (a link to a
// file not made yet leads to where it will be). Returns false past 40 links.
bool follow_links(const char* name, char* out, size_t size);

// Removes the temporary files that saves and screenshots of games no longer
// running left in dir, cut short by a crash; those of a running game stay.
// Returns how many went.
int remove_stale_temporaries(const char* dir);
