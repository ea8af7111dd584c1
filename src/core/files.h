// Files the game replaces whole: each is written under a temporary name
// beside it and renamed over it, so a crash never leaves one half written.
#pragma once

#include <cstddef>

// Creates a new empty file beside `name`, called "<name>.<pid>.<random>.tmp":
// made new (never an existing file, never through a link) under a name no
// one can guess ahead. The name goes to out. Returns the open descriptor, or
// -1 with errno set.
int create_temporary(const char* name, char* out, size_t size);

// The process id in the name of a temporary file of `base` (a file's name
// without its directory), or 0 when the entry is not one.
long temporary_owner(const char* entry, const char* base);

// Removes the temporary files of `base` in dir that games no longer running
// left behind, cut short by a crash; those of a running game stay. Returns
// how many went.
int remove_stale_temporaries(const char* dir, const char* base);

// The same for a file named by its path: beside it, and beside the file its
// symbolic links lead to, under that file's own name.
int remove_stale_temporaries_of(const char* file);

// The file a name finally leads to, through any symbolic links (a link to a
// file not made yet leads to where it will be). Returns false past 40 links.
bool follow_links(const char* name, char* out, size_t size);
