// When the tune's synthesizer, SoundFont and audio output exist: only while
// the music is on, so that music off costs nothing. One thread of their own
// opens and closes them, at start-up and at every switch, so no frame waits
// for them; the tune starts in the first frame after they are ready.
// Where that thread cannot be had, the game plays on without music.
#pragma once

// Start-up: begins loading in the background when the tune is to play.
void music_start();
// The options' music line: the tune from its beginning once loaded, or
// stopped at once and everything it needs closed in the background (a load
// still running is abandoned).
void music_switch(bool on);
// Once a frame, on the main thread: starts the tune when the background load
// is done, or says once why there is no music.
void music_update();
// True from a start or switch on until music_update has taken up the load's outcome.
bool music_loading();
// Shut-down: stops the tune and closes everything; a load still running
// stops at its next read of the SoundFont.
void music_shut_down();
