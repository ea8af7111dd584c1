#include "core/settings.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/files.h"

int mode = 1;        // full screen until the file says otherwise
int music_on = 1;
int high_score = 0;
int kept_mode = -1;
bool told_foreign_link = false;

const char* const settings_file = "PV settings.dat";

// One number as "%i" reads it: white space, a sign, then 0x hex, 0 octal or
// decimal. Fails on no digits, and on a value that does not fit in 32 bits.
static bool read_number(FILE* f, int* out) {
  int c;
  do c = getc(f); while (c != EOF && isspace(c));
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = (c == '-');
    c = getc(f);
  }
  int base = 10;
  bool digits = false;
  if (c == '0') {
    c = getc(f);
    if (c == 'x' || c == 'X') {
      base = 16;
      c = getc(f);
    } else {
      base = 8;
      digits = true;  // the 0 itself
    }
  }
  long long value = 0;
  bool too_big = false;
  for (;; c = getc(f)) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    if (d >= base) break;
    digits = true;
    value = value * base + d;
    if (value > (long long)INT_MAX + 1) too_big = true, value = (long long)INT_MAX + 1;
  }
  if (c != EOF) ungetc(c, f);
  if (!digits || too_big) return false;
  if (negative) value = -value;
  if (value > INT_MAX) return false;
  *out = (int)value;
  return true;
}

// Said once a run: the settings file leads through a link of another user's.
static void tell_refused(const char* name, long refused) {
  if (refused < 0 || told_foreign_link) return;
  told_foreign_link = true;
  fprintf(stderr,
          "plu-vesk: \"%s\" leads through a link of another user's (uid %ld): not followed; "
          "saves replace \"%s\" itself\n",
          name, refused, name);
}

// What an entry that is no file is, for the message; nullptr for a file.
static const char* odd_kind(mode_t m) {
  if (S_ISFIFO(m)) return "a FIFO";
  if (S_ISSOCK(m)) return "a socket";
  if (S_ISCHR(m)) return "a character device";
  if (S_ISBLK(m)) return "a block device";
  if (S_ISDIR(m)) return "a directory";
  return nullptr;
}

// The settings file open for reading, or -1. Only a regular file, as its open
// descriptor says; anything else is said on stderr and read as no file.
static int open_settings(const file_place& at) {
  // Without blocking: a FIFO would wait for a writer for ever.
  int fd = openat(at.dir, at.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  // A socket cannot be opened at all: its name is looked at only to say so.
  bool seen = fd >= 0 ? fstat(fd, &st) == 0
                      : fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const char* odd = seen ? odd_kind(st.st_mode) : nullptr;
  if (odd)
    fprintf(stderr, "plu-vesk: \"%s\" is %s, not a file: not read; saves %s\n", at.path.c_str(), odd,
            S_ISDIR(st.st_mode) ? "cannot replace it" : "replace it");
  if (fd >= 0 && (!seen || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // stdio reads as ever
  return fd;
}

void load_settings(const char* name) {
  file_place at;
  if (!locate_file(name, &at)) return;
  tell_refused(name, at.refused);
  // Another user's link reads as no file: its target could be any file of the
  // player's, and its numbers would go into the next save.
  int fd = at.refused < 0 ? open_settings(at) : -1;
  close(at.dir);
  if (fd < 0) return;
  FILE* f = fdopen(fd, "rb");
  if (!f) {
    close(fd);
    return;
  }
  int v;
  // A mode or music switch other than 0 or 1 would index past two-entry tables.
  if (read_number(f, &v)) {
    if (v == 0 || v == 1) mode = v;
    if (read_number(f, &v)) {
      if (v == 0 || v == 1) music_on = v;
      if (read_number(f, &v)) high_score = v;
    }
  }
  fclose(f);
}

bool save_settings(const char* name) {
  char bytes[48];
  int n = snprintf(bytes, sizeof bytes, "%i %i %i", kept_mode >= 0 ? kept_mode : mode, music_on,
                   high_score);
  long refused = -1;
  bool saved = save_whole(name, bytes, n, "settings", &refused);
  tell_refused(name, refused);
  return saved;
}
