// Files the game replaces whole: each is written under a temporary name
// beside it and renamed over it, so a crash never leaves one half written.
#pragma once

#include <cstddef>
#include <string>

// Creates a new empty file beside `name`, called "<name>.<pid>.<random>.tmp":
// made new (never an existing file, never through a link) under a name no
// one can guess ahead. The name goes to out. Returns the open descriptor, or
// -1 with errno set.
int create_temporary(const char* name, char* out, size_t size);
// The same in the directory open as dir, for `base` there; out is the name in dir.
int create_temporary_at(int dir, const char* base, char* out, size_t size);

// The process id in the name of a temporary file of `base` (a file's name
// without its directory), or 0 when the entry is not one.
long temporary_owner(const char* entry, const char* base);

// Where a name finally leads, through the symbolic links on its way.
struct file_place {
  int dir;           // the directory the file is (or will be) in, held open: -1 when none
  std::string name;  // the file's name in it
  std::string path;  // the same as a path, for messages
  int links;         // links followed to get there
  long refused;      // the owner of a link not followed, else -1
};

// Follows `name` part by part through symbolic links, but only through links
// of the game's user or of root: a link of anyone else stops the walk, and the
// place is then the name itself (refused says whose link it was), as it is
// past 40 links. A link to a file not made yet leads to where it will be.
// Returns false, with errno set, when a directory on the way cannot be opened;
// otherwise out->dir is open and the caller closes it.
bool locate_file(const char* name, file_place* out);

// Removes the temporary files of `base` in dir that games no longer running
// left behind, cut short by a crash; those of a running game stay, and so does
// anything a save of this user's could not have made (a link, a directory,
// another user's file). Returns how many went.
int remove_stale_temporaries(const char* dir, const char* base);

// The same for a file named by its path: beside it, and beside the file its
// links lead to (when locate_file follows them), under that file's own name.
int remove_stale_temporaries_of(const char* file);
