// When the tune plays. A thread of its own, the music thread, serves the
// main thread's requests: on a switch on it renders the tune into memory (on
// a render thread of its own) and connects to the desktop's sound server at
// the same time, and plays the render from its start as soon as its first
// half second is in; on a switch off it closes the connection and frees the
// render. A server that goes away is tried again, at most every 5 s once it
// has stayed away a while, and the tune goes on from where it was heard. No
// frame ever waits for any of it, nor the game's end for more than a moment.
// Where no thread can be had, the game plays on without music.
#pragma once

// Start-up: asks for the tune when it is to play.
void music_start();
// The options' music line: the tune from its beginning, or silence at once
// and everything it needed closed.
void music_switch(bool on);
// The run's hold (the focus away, P, Start): the tune holds still where it
// is, and goes on from the same sample.
void music_pause();
void music_resume();
// Once a frame, on the main thread: says on stderr what the music thread
// found (why there is no music, the sound server gone or back).
void music_update();
// True from a request for the tune until it plays or music_update has said
// why it does not.
bool music_loading();
// Shut-down: closes everything, waiting for the music thread a moment at
// most; one that does not end by then is left to the process's end.
void music_shut_down();
