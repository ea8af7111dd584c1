#include "core/settings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int mode = 1;        // full screen until the file says otherwise
int music_on = 1;
int high_score = 0;
int kept_mode = -1;

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

void load_settings(const char* name) {
  FILE* f = fopen(name, "rb");
  if (!f) return;
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

bool follow_links(const char* name, char* out, size_t size) {
  std::string path = name;
  for (int hops = 0; hops < 40; hops++) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      if (path.size() >= size) return false;
      snprintf(out, size, "%s", path.c_str());
      return true;
    }
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0) return false;
    target[n] = 0;
    size_t slash = path.rfind('/');
    if (target[0] == '/' || slash == std::string::npos) path = target;
    else path = path.substr(0, slash + 1) + target;
  }
  return false;
}

bool save_settings(const char* name) {
  // Written beside the real file and renamed over it, so the file is always
  // whole; through a link, beside and over the link's target, so the link
  // (a dotfile manager's, say) stays.
  char real[PATH_MAX];
  if (!follow_links(name, real, sizeof real)) snprintf(real, sizeof real, "%s", name);
  std::string temp = std::string(real) + "." + std::to_string(getpid()) + ".tmp";
  char bytes[48];
  int n = snprintf(bytes, sizeof bytes, "%i %i %i", kept_mode >= 0 ? kept_mode : mode, music_on,
                   high_score);
  const char* failed = nullptr;
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    failed = "create";
  } else {
    if (write(fd, bytes, n) != n) failed = "write";
    else if (fsync(fd) != 0) failed = "flush";
    if (close(fd) != 0 && !failed) failed = "close";
    if (!failed && rename(temp.c_str(), real) != 0) failed = "replace";
    if (failed) unlink(temp.c_str());
  }
  if (failed) {
    fprintf(stderr, "plu-vesk: settings not saved (could not %s \"%s\": %s)\n", failed, real,
            strerror(errno));
    return false;
  }
  return true;
}

// The process id in a temporary file's name, "<file>.<pid>.tmp<ending>" for
// the game's own files, or 0 when the name is not one of them.
static long temporary_owner(const char* entry) {
  static const struct {
    const char* file;
    const char* ending;
  } kinds[] = {{settings_file, ".tmp"},
               {"Plu Vesk screenshot.bmp", ".tmp.bmp"}};  // the hot keys' file: this one builds alone for the fuzzer
  for (const auto& kind : kinds) {
    size_t lead = strlen(kind.file), tail = strlen(kind.ending), len = strlen(entry);
    if (len <= lead + 1 + tail || strncmp(entry, kind.file, lead) != 0 || entry[lead] != '.' ||
        strcmp(entry + len - tail, kind.ending) != 0)
      continue;
    long pid = 0;
    for (size_t i = lead + 1; i < len - tail; i++) {
      if (entry[i] < '0' || entry[i] > '9' || pid > 1L << 30) return 0;
      pid = pid * 10 + (entry[i] - '0');
    }
    return pid;
  }
  return 0;
}

int remove_stale_temporaries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return 0;
  int removed = 0;
  while (dirent* e = readdir(d)) {
    long pid = temporary_owner(e->d_name);
    // Only a process that is gone: a running game's save is still under way.
    if (pid <= 0 || kill((pid_t)pid, 0) == 0 || errno != ESRCH) continue;
    std::string path = std::string(dir) + "/" + e->d_name;
    if (unlink(path.c_str()) == 0) removed++;
  }
  closedir(d);
  return removed;
}
