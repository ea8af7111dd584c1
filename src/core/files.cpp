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
#include <vector>

// Letters in the random part of a temporary's name.
static const size_t random_letters = 8;

static int create_temporary_at(int dir, const char* base, mode_t perms, char* out, size_t size) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int tries = 0; tries < 100; tries++) {
    unsigned char noise[random_letters];
    if (getrandom(noise, sizeof noise, 0) != (ssize_t)sizeof noise) return -1;
    char tail[sizeof noise + 1];
    for (size_t i = 0; i < sizeof noise; i++) tail[i] = letters[noise[i] % (sizeof letters - 1)];
    tail[sizeof noise] = 0;
    if (snprintf(out, size, "%s.%ld.%s.tmp", base, (long)getpid(), tail) >= (int)size) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = openat(dir, out, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, perms);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // errno is still EEXIST
}

const char* replace_file_at(int dir, const char* name, const void* bytes, size_t size, bool flush) {
  // A file replaced keeps its permission bits (a player's 600 stays 600), set
  // from the start, so the bytes never sit in a file more open than the old
  // one; the umask may narrow them at creation, and fchmod puts them back.
  struct stat old;
  bool keep = fstatat(dir, name, &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
  mode_t perms = keep ? old.st_mode & 0777 : 0666;
  char temp[PATH_MAX + 32];
  int fd = create_temporary_at(dir, name, perms, temp, sizeof temp);
  if (fd < 0) return "create";
  const char* failed = keep && fchmod(fd, perms) != 0 ? "keep the mode of" : nullptr;
  for (size_t done = 0; !failed && done < size;) {
    ssize_t n = write(fd, (const char*)bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      failed = "write";
      break;
    }
    done += n;
  }
  if (!failed && flush && fsync(fd) != 0) failed = "flush";
  if (close(fd) != 0 && !failed) failed = "close";
  // renameat replaces a link standing at name, never what it points to.
  if (!failed && renameat(dir, temp, dir, name) != 0) failed = "replace";
  if (failed) {
    int why = errno;
    unlinkat(dir, temp, 0);
    errno = why;
  }
  return failed;
}

bool save_whole(const char* name, const void* bytes, size_t size, const char* what, long* refused) {
  // Written beside the real file and renamed over it, so the file is always
  // whole; through the player's own links, beside and over their target, so
  // a link (a dotfile manager's, say) stays. Anyone else's link is replaced.
  file_place at;
  const char* failed = locate_file(name, &at) ? replace_file_at(at.dir, at.name.c_str(), bytes, size, true) : "reach";
  int why = errno;
  if (refused) *refused = at.refused;
  if (at.dir >= 0) close(at.dir);
  if (failed)
    fprintf(stderr, "plu-vesk: %s not saved (could not %s \"%s\": %s)\n", what, failed, at.path.c_str(),
            strerror(why));
  return !failed;
}

// The process id in the name of a temporary file of `base`, or 0 when the
// entry is not one.
static long temporary_owner(const char* entry, const char* base) {
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
  // No pid, or a random part not of our length
  if (i == lead + 1 || len - tail - i - 1 != random_letters) return 0;
  for (i++; i < len - tail; i++)
    if (!isalnum((unsigned char)entry[i])) return 0;
  return pid;
}

// Links the game may follow: the player's own (a dotfile manager's) and the
// system's. Anyone else's could send a save onto a file of the player's.
static bool trusted_owner(uid_t uid) { return uid == geteuid() || uid == 0; }

// "a/b/c" as "a/b" and "c"; "c" as "." and "c"; "/c" as "/" and "c".
static void split_path(const std::string& path, std::string& dir, std::string& base) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    base = path;
  } else {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    base = path.substr(slash + 1);
  }
}

static std::string join_path(const std::string& dir, const std::string& part) {
  if (dir == ".") return part;
  return dir == "/" ? "/" + part : dir + "/" + part;
}

bool locate_file(const char* name, file_place* out) {
  std::string dir_path, base;
  split_path(name, dir_path, base);
  out->dir = open(dir_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  out->name = base;
  out->path = name;
  out->links = 0;
  out->refused = -1;
  if (out->dir < 0) return false;
  // Each part is opened as a handle that follows nothing, and the handle is
  // what is looked at, read as a link or walked into as a directory: a name
  // swapped after its look cannot turn the walk, nor redirect the save.
  int dir = dup(out->dir);
  std::string where = dir_path;
  std::vector<std::string> parts = {base};  // what is left to walk, the next part last
  int links = 0;
  while (dir >= 0) {
    std::string part = parts.back();
    parts.pop_back();
    if (part.empty() || part == ".") {
      if (parts.empty()) {  // a path that ends in a directory
        errno = EISDIR;
        break;
      }
      continue;
    }
    int at = openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (at >= 0 && fstat(at, &st) != 0) {
      close(at);
      at = -1;
    }
    if (at >= 0 && S_ISLNK(st.st_mode)) {
      if (!trusted_owner(st.st_uid) || links == 40) {
        if (!trusted_owner(st.st_uid)) out->refused = st.st_uid;
        close(at);
        close(dir);
        return true;  // the name itself
      }
      char target[PATH_MAX];
      ssize_t n = readlinkat(at, "", target, sizeof target - 1);
      close(at);
      if (n < 0) break;
      target[n] = 0;
      links++;
      if (target[0] == '/') {
        close(dir);
        dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        where = "/";
      }
      std::vector<std::string> more;
      for (const char* p = target; *p;) {
        const char* slash = strchr(p, '/');
        size_t len = slash ? (size_t)(slash - p) : strlen(p);
        more.emplace_back(p, len);
        p += len + (slash ? 1 : 0);
      }
      if (more.empty()) more.push_back("");
      parts.insert(parts.end(), more.rbegin(), more.rend());
      continue;
    }
    if (parts.empty()) {  // the file itself, or where it will be
      if (at >= 0) close(at);
      close(out->dir);
      out->dir = dir;
      out->name = part;
      out->path = join_path(where, part);
      out->links = links;
      return true;
    }
    if (at >= 0 && !S_ISDIR(st.st_mode)) {
      close(at);
      at = -1;
      errno = ENOTDIR;
    }
    int why = errno;
    close(dir);
    dir = at;
    where = join_path(where, part);
    errno = why;
  }
  int why = errno;
  if (dir >= 0) close(dir);
  close(out->dir);
  out->dir = -1;
  out->path = where;
  errno = why;
  return false;
}

// Sweeps the directory open as dir for the stale temporaries of base.
static int sweep(int dir, const char* base) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return 0;
  }
  int removed = 0;
  while (dirent* e = readdir(d)) {
    long pid = temporary_owner(e->d_name, base);
    // Only a process that is gone: a running game's save is still under way.
    if (pid <= 0 || kill((pid_t)pid, 0) == 0 || errno != ESRCH) continue;
    // Only what a save of ours could have left: a regular file of this user's,
    // looked at through a handle that follows nothing. Linux has no unlink by
    // handle, and unlinkat takes out whatever the name holds at that instant;
    // so just before it the name must still hold the handle's file (held open,
    // its inode number cannot pass to another). A swap between those two calls
    // is as far as the check can be carried, and even then unlinkat only takes
    // a name out of this one directory, following and writing nothing.
    int at = openat(dir, e->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (at < 0) continue;
    struct stat st, now;
    if (fstat(at, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        fstatat(dir, e->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino && unlinkat(dir, e->d_name, 0) == 0)
      removed++;
    close(at);
  }
  closedir(d);
  return removed;
}

int remove_stale_temporaries(const char* dir, const char* base) {
  int fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  int removed = sweep(fd, base);
  close(fd);
  return removed;
}

int remove_stale_temporaries_of(const char* file) {
  std::string dir, base;
  split_path(file, dir, base);
  int removed = remove_stale_temporaries(dir.c_str(), base.c_str());
  file_place at;
  if (!locate_file(file, &at)) return removed;
  if (at.links > 0 && at.refused < 0) removed += sweep(at.dir, at.name.c_str());
  close(at.dir);
  return removed;
}
