// The command line: how this run shows the game, and the help and version.
#pragma once

extern const char* const usage_line;  // the one line a wrong command line gets
extern const char* const help_text;   // --help
extern const char* const version_text;  // --version

// Reads the arguments into forced_mode and forced_scale. Returns -1 when the
// game goes on, else the status to end with at once: 0 after --help or
// --version, 2 after anything it does not know (one line on stderr).
int read_command_line(int argc, char** argv);
