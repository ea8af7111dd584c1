#include "core/files.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

int create_temporary(const char* name, char* out, size_t size) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int tries = 0; tries < 100; tries++) {
    unsigned char noise[8];
    if (getrandom(noise, sizeof noise, 0) != (ssize_t)sizeof noise) return -1;
    char tail[sizeof noise + 1];
    for (size_t i = 0; i < sizeof noise; i++) tail[i] = letters[noise[i] % (sizeof letters - 1)];
    tail[sizeof noise] = 0;
    if (snprintf(out, size, "%s.%ld.%s.tmp", name, (long)getpid(), tail) >= (int)size) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = open(out, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // errno is still EEXIST
}

long temporary_owner(const char* entry, const char* base) {
  // "<base>.<pid>.<random>.tmp"
  size_t lead = strlen(base), len = strlen(entry);
  static const char ending[] = ".tmp";
  const size_t tail = sizeof ending - 1;
  if (len <= lead + tail + 4 || strncmp(entry, base, lead) != 0 || entry[lead] != '.' ||
      strcmp(entry + len - tail, ending) != 0)
    return 0;
  long pid = 0;
  size_t i = lead + 1;
  for (; i < len - tail && entry[i] != '.'; i++) {
    if (entry[i] < '0' || entry[i] > '9' || pid > 1L << 30) return 0;
    pid = pid * 10 + (entry[i] - '0');
  }
  if (i == lead + 1 || i >= len - tail - 1) return 0;  // no pid, or no random part
  for (i++; i < len - tail; i++)
    if (!isalnum((unsigned char)entry[i])) return 0;
  return pid;
}

int remove_stale_temporaries(const char* dir, const char* base) {
  DIR* d = opendir(dir);
  if (!d) return 0;
  int removed = 0;
  while (dirent* e = readdir(d)) {
    long pid = temporary_owner(e->d_name, base);
    // Only a process that is gone: a running game's save is still under way.
    if (pid <= 0 || kill((pid_t)pid, 0) == 0 || errno != ESRCH) continue;
    std::string path = std::string(dir) + "/" + e->d_name;
    if (unlink(path.c_str()) == 0) removed++;
  }
  closedir(d);
  return removed;
}

// Sweeps the directory of a path for its file's temporaries.
static int sweep_beside(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return remove_stale_temporaries(".", path.c_str());
  std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  return remove_stale_temporaries(dir.c_str(), path.c_str() + slash + 1);
}

int remove_stale_temporaries_of(const char* file) {
  int removed = sweep_beside(file);
  char real[PATH_MAX];
  if (follow_links(file, real, sizeof real) && strcmp(real, file) != 0) removed += sweep_beside(real);
  return removed;
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
