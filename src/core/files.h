// Files the game replaces whole: each is written under a temporary name
// beside it and renamed over it, so a crash never leaves one half written.
#pragma once

#include <cstddef>
#include <string>

// Replaces `name` in the directory open as dir (AT_FDCWD for the working
// one) whole: the bytes go to a new temporary beside it, which is renamed
// over it, so no one ever sees it half written; with flush they reach the
// disk first. Returns nullptr, or what could not be done ("create", "keep the
// mode of", "write", "flush", "close", "replace") with errno set; the
// temporary is then gone. A regular file replaced keeps its permission bits;
// a new one is made 0666 less the umask.
// The temporary, "<name>.<pid>.<random>.tmp", is made new (never an existing
// file, never through a link) under a name no one can guess ahead.
const char* replace_file_at(int dir, const char* name, const void* bytes, size_t size, bool flush);

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

// Saves a file of the game's whole, as replace_file_at does with flush,
// where locate_file leads (a link of the player's stays one, its target
// replaced); says on stderr when it could not ("plu-vesk: <what> not saved
// (...)"). *refused, when asked, takes the owner of a link not followed.
bool save_whole(const char* name, const void* bytes, size_t size, const char* what, long* refused = nullptr);

// Removes the temporary files of `base` in dir that games no longer running
// left behind, cut short by a crash; those of a running game stay, and so does
// anything a save of this user's could not have made (a link, a directory,
// another user's file, a name not of that exact shape). Returns how many went.
int remove_stale_temporaries(const char* dir, const char* base);

// The same for a file named by its path: beside it, and beside the file its
// links lead to (when locate_file follows them), under that file's own name.
int remove_stale_temporaries_of(const char* file);
