// Elapsed real time in milliseconds, counted from program start.
#pragma once

int ms_clock();
