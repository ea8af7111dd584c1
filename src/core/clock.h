// Elapsed real time in milliseconds, counted from program start.
#pragma once

#include <ctime>

int ms_clock();
// The monotonic clock's instant at which ms_clock() reaches ms.
timespec ms_clock_instant(int ms);
