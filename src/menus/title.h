#pragma once

extern const char* const title_credit;  // the credit line under the title menu
extern bool replay_chosen;  // the title was left to watch the best run, not to play

void title_frame();
