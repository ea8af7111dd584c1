// The game's random numbers: the C library's own generator (the sequence srand
// and rand give), on a state of the game's alone. Libraries draw on rand too
// (FluidSynth's first synthesizer takes 96,000 numbers of it, on the music's
// own thread, whenever the music first loads), which would shift a run's
// clouds and orbs by when they happened to load.
#pragma once

// As srand(seed): the numbers that follow are rand()'s after srand(seed).
void game_srand(unsigned seed);
// As rand(): 0 to RAND_MAX. Before any game_srand, as after game_srand(1).
int game_rand();
