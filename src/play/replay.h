// Runs recorded as they are played, and played again from their files. A
// run's frames follow from its seed, the state it began from and the
// controls its update read: a recording takes those down, a replay gives
// them back.
#pragma once

extern bool watching;  // a replay drives the run: nothing is saved, no key ends its panel

// The update's one read of the controls a frame: bit c for control c, LEFT
// to JUMP, from the keys and pads (taken down while recording) or from the
// replay being watched.
int frame_controls();

// A live run, once game_srand has its seed and before the reset: notes the seed
// and the state the run begins from.
void start_recording(unsigned seed);
// After the run: one that reached its panel is kept as the last run and,
// when it set a best total, as the best. An abandoned one leaves nothing.
void end_recording();

// Reads and checks a replay file for watching; false when it cannot be
// watched, said in one line on stderr.
bool load_replay(const char* file);
// Before the reset: the loaded run's seed and starting state, the game's own
// put aside.
void start_watching();
// Every frame of the loaded run has been played.
bool replay_over();
// After the run: the game's state, best total and random sequence as they
// were before watching.
void stop_watching();
// On the command line, after watching: prints "total N" on stdout. Returns
// the exit status: 3 when the whole run was played and did not reach the
// total its file records (said on stderr), else 0.
int watched_status();

// --verify-replay: plays the file through the rules alone, as fast as they
// go, and says its total; returns the exit status, 2 for a file that cannot
// be watched.
int verify_replay(const char* file);
