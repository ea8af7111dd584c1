// The desktop's screensaver and screen blanking, held off while a run is in
// play: a run played without the keyboard (a gamepad, or simply watching)
// gives the X server no input, and the screen would go dark mid-run.
//
// Two ways, each where the desktop offers it: the X server's own screensaver
// and blanking, suspended through its MIT-SCREEN-SAVER extension, with its
// idle time reset at the start and every 20 s (desktops that watch the idle
// time see that too); and org.freedesktop.ScreenSaver.Inhibit("Plu Vesk",
// "Playing") on the session bus. If the game dies, the server drops the
// suspension with the connection, and the bus service the inhibition with
// the game's bus connection.
//
// The bus is spoken to on a thread of its own, which the main thread only
// signals: a slow or missing bus never holds up a frame, and is silent.
// Where no thread can be had, only the X server's screensaver is held off.
#pragma once

// On the main thread, once a play frame, and with false on every path that
// leaves the run or holds it still: true while the run is in play (the ball
// alive, the window focused, not held). Only a change, or a reset falling
// due, does anything.
void keep_screen_awake(bool playing);
// Before the display closes: lets the screensaver come again, and waits a
// moment for the bus service to hear it.
void screensaver_shut_down();
