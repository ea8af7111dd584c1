// The game's assets, read whole into memory so that they can be checked
// before a library parses them, then handed to Allegro from those same bytes.
#pragma once

#include <allegro.h>

const long asset_bytes_max = 2L << 20;  // no asset of the game's comes near this

// The whole file, if it is a regular file of at most asset_bytes_max bytes,
// in memory to free() with its length in *size. Else null, with *why saying
// what is wrong with it, or null when there is no such file.
unsigned char* read_asset(const char* name, long* size, const char** why);

// A read-only PACKFILE over bytes in memory, for Allegro's *_pf loaders; the
// bytes must outlive it. pack_fclose closes it.
PACKFILE* open_asset_bytes(const unsigned char* bytes, long size);
