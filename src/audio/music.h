// When the tune's synthesizer, SoundFont and audio output exist: only while
// the music is on, so that music off costs nothing. At start-up they load on
// a thread of their own and the title does not wait for them; the tune
// starts once they are ready. Switched on in the options they load at once.
#pragma once

// Start-up: begins loading in the background when the tune is to play.
void music_start();
// The options' music line: the tune from its beginning, or stopped and
// everything it needs closed.
void music_switch(bool on);
// Once a frame, on the main thread: starts the tune when the background load
// is done, or says once why there is no music.
void music_update();
// True from music_start until music_update has taken up the load's outcome.
bool music_loading();
// Shut-down: stops the tune and closes everything, waiting for a load.
void music_shut_down();
