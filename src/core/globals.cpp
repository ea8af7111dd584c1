#include "core/globals.h"

std::atomic<int> stage{0};
int loop_num;
int menu_selection;
bool step_latch;

int screen_mode[2];
const char* on_off[2];

FONT* title;
FONT* text;
BITMAP* buffer;
BITMAP* buffer2;
std::mutex frame_lock;

int allegro_errnum;
