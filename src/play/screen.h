// The play picture, the score panel and the game-over panel.
#pragma once

extern int sky_col;      // the sky's pixel value this frame
extern int total_score;  // metres plus orbs of the finished run

// Metres plus orbs of the run so far.
int run_total();

// Paints the frame, then ends it as below.
void draw_play();
// What a play frame changes besides its picture, once it is painted: the
// squash count of a ball in sight and, on the panel, the total, a new best
// total (saved, unless a replay plays) and the way back to the title.
void end_play_frame();
