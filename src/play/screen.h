// The play picture, the score panel and the game-over panel.
#pragma once

extern int sky_col;      // the sky's pixel value this frame
extern int total_score;  // metres plus orbs of the finished run

void draw_play();
