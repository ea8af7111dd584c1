// The command line: how this run shows the game, and the help and version.
#pragma once

extern const char* const usage_line;  // the one line a wrong command line gets
extern const char* const help_text;   // --help
extern const char* const version_text;  // --version
extern const char* replay_to_watch;     // --replay's file, else null
extern const char* replay_to_verify;    // --verify-replay's file, else null

// Reads the arguments into forced_mode, forced_scale and the replay to
// watch or verify. Returns -1 when the game goes on, else the status to end
// with at once: 0 after --help or --version, 2 after anything it does not
// know (one line on stderr).
int read_command_line(int argc, char** argv);
