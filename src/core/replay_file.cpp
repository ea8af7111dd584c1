#include "core/replay_file.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#ifdef __GLIBC__
#include <gnu/libc-version.h>
#endif

#include "core/files.h"

const char* const last_run_file = "PV last run.replay";
const char* const best_run_file = "PV best run.replay";

static const char magic[] = "Plu Vesk replay\n";
static const size_t magic_size = sizeof magic - 1;
static const char* const cut_short = "is damaged: it ends too soon";

const char* this_libc() {
#ifdef __GLIBC__
  static char name[64];
  if (!name[0]) snprintf(name, sizeof name, "glibc %s", gnu_get_libc_version());
  return name;
#else
  return "not glibc";
#endif
}

// The fault of the last decode, with its numbers.
static char said[192];
static const char* say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(said, sizeof said, fmt, ap);
  va_end(ap);
  return said;
}

// Numbers are LEB128: 7 bits a byte, low first, the high bit set on every
// byte but the last. Signed ones are zigzag-coded first (0, -1, 1, -2 as 0,
// 1, 2, 3), so that small values of either sign take one byte.
static size_t put_number(unsigned char* at, unsigned long long v) {
  size_t n = 0;
  for (; v >= 0x80; v >>= 7) at[n++] = (unsigned char)(v | 0x80);
  at[n++] = (unsigned char)v;
  return n;
}
static unsigned long long zigzag(long long v) { return ((unsigned long long)v << 1) ^ (unsigned long long)(v >> 63); }

size_t put_run(unsigned char* at, int mask, int length) {
  return put_number(at, (unsigned long long)(length - 1) << 5 | (unsigned)mask);
}

// Reads a checked file (or any bytes) front to back; the first fault stops it.
struct reader {
  const unsigned char* at;
  const unsigned char* end;
  const char* fault;

  bool number(unsigned long long* v) {
    *v = 0;
    for (int shift = 0; !fault; shift += 7) {
      if (at == end) fault = cut_short;
      else if (shift > 63 || (shift == 63 && *at > 1)) fault = "has a number too big for 64 bits";
      // The shortest form only, so that every replay has one file
      else if (*at == 0 && shift > 0) fault = "has a number written longer than it needs";
      if (fault) break;
      unsigned char byte = *at++;
      *v |= (unsigned long long)(byte & 0x7f) << shift;
      if (!(byte & 0x80)) return true;
    }
    return false;
  }
  // An unsigned number from lo to hi.
  bool count(const char* name, long long lo, long long hi, long long* v) {
    unsigned long long u;
    if (!number(&u)) return false;
    if (u < (unsigned long long)lo || u > (unsigned long long)hi) {
      fault = say("has %s %llu, out of its range %lld to %lld", name, u, lo, hi);
      return false;
    }
    *v = (long long)u;
    return true;
  }
  // A signed number from lo to hi.
  bool value(const char* name, int lo, int hi, int* v) {
    unsigned long long u;
    if (!number(&u)) return false;
    long long s = (long long)(u >> 1) ^ -(long long)(u & 1);
    if (s < lo || s > hi) {
      fault = say("has %s %lld, out of its range %d to %d", name, s, lo, hi);
      return false;
    }
    *v = (int)s;
    return true;
  }
};

const unsigned char* take_run(const unsigned char* at, int* mask, int* length) {
  reader in{at, at + 10, nullptr};
  unsigned long long code = 0;
  in.number(&code);
  *mask = (int)(code & 31);
  *length = (int)(code >> 5) + 1;
  return in.at;
}

// The state a run begins from, with the values the game can give each.
struct field {
  const char* name;
  int* value;
  int lo, hi;
};
static int state_fields(replay& r, field* f) {
  int n = 0;
  f[n++] = {"jump", &r.jump, 0, 1};
  f[n++] = {"jumpforce", &r.jumpforce, -80, 50};
  // The squash count falls by one a frame without end; below zero all are alike
  f[n++] = {"hit", &r.hit, -(1 << 30), 6};
  f[n++] = {"add_delay", &r.add_delay, 0, 17};
  f[n++] = {"star_delay", &r.star_delay, 0, 44};
  // Grows by 6 a frame: room for the longest run
  f[n++] = {"bob", &r.bob, 0, INT_MAX - 6 * replay_most_frames};
  for (int (&c)[4] : r.captions) {
    f[n++] = {"caption x", &c[0], 0, 640};
    f[n++] = {"caption y", &c[1], -100, 700};
    f[n++] = {"caption timer", &c[2], 0, 30};
    f[n++] = {"caption value", &c[3], 0, 101};
  }
  for (int (&c)[2] : r.clouds) {
    f[n++] = {"cloud x", &c[0], 0, 640};
    f[n++] = {"cloud w", &c[1], 0, 240};
  }
  f[n++] = {"best total", &r.best_before, INT_MIN, INT_MAX};
  return n;
}
static const int most_fields = 96;

static void put_le32(unsigned char* at, unsigned long v) {
  for (int i = 0; i < 4; i++) at[i] = (unsigned char)(v >> (8 * i));
}
static unsigned long crc_of(const unsigned char* bytes, size_t size) {
  return crc32(crc32(0, Z_NULL, 0), bytes, (uInt)size);
}

size_t encode_replay(const replay& r, unsigned char* out, size_t room) {
  size_t libc_size = strnlen(r.libc, sizeof r.libc);
  // Every number takes at most 10 bytes
  if (room < magic_size + libc_size + r.runs_size + 10 * (most_fields + 8) + 4) return 0;
  memcpy(out, magic, magic_size);
  size_t n = magic_size;
  n += put_number(out + n, replay_version);
  n += put_number(out + n, r.seed);
  n += put_number(out + n, libc_size);
  memcpy(out + n, r.libc, libc_size);
  n += libc_size;
  field f[most_fields];
  int count = state_fields(const_cast<replay&>(r), f);
  for (int i = 0; i < count; i++) n += put_number(out + n, zigzag(*f[i].value));
  n += put_number(out + n, r.run_count);
  memcpy(out + n, r.runs, r.runs_size);
  n += r.runs_size;
  n += put_number(out + n, r.frames);
  n += put_number(out + n, zigzag(r.total));
  put_le32(out + n, crc_of(out, n));
  return n + 4;
}

const char* decode_replay(const unsigned char* bytes, size_t size, replay* out) {
  if (size < magic_size || memcmp(bytes, magic, magic_size) != 0) return "is not a Plu Vesk replay";
  reader in{bytes + magic_size, bytes + size, nullptr};
  long long v = 0;
  // A newer format may be laid out otherwise: nothing after it is read
  unsigned long long version = 0;
  if (in.number(&version) && version > (unsigned long long)replay_version)
    return say("was made by a newer version of the game (replay format %llu; this one reads %d)", version,
               replay_version);
  if (!in.fault && version < 1) return "is not a Plu Vesk replay (format 0)";

  if (in.count("seed", 0, UINT_MAX, &v)) out->seed = (unsigned)v;
  if (in.count("C library name length", 1, sizeof out->libc - 1, &v)) {
    if (in.end - in.at < v) in.fault = cut_short;
    for (long long i = 0; !in.fault && i < v; i++) {
      if (in.at[i] < 0x20 || in.at[i] > 0x7e) in.fault = "has a C library name that is not plain text";
      out->libc[i] = (char)in.at[i];
      out->libc[i + 1] = 0;
    }
    if (!in.fault) in.at += v;
  }
  field f[most_fields];
  int count = state_fields(*out, f);
  for (int i = 0; i < count && !in.fault; i++) in.value(f[i].name, f[i].lo, f[i].hi, f[i].value);

  // Each run takes a byte at least and a frame at least
  if (in.count("run count", 1, replay_most_frames, &v)) out->run_count = (int)v;
  out->runs = in.at;
  long long frames_in_runs = 0;
  for (int i = 0; !in.fault && i < out->run_count; i++) {
    unsigned long long code;
    if (!in.number(&code)) break;
    frames_in_runs += (long long)(code >> 5) + 1;
    if (code >> 5 >= (unsigned long long)replay_most_frames || frames_in_runs > replay_most_frames)
      in.fault = "has control runs longer than the longest run";
  }
  out->runs_size = in.at - out->runs;
  if (in.count("frame count", 1, replay_most_frames, &v)) out->frames = (int)v;
  if (!in.fault && frames_in_runs != out->frames)
    in.fault = say("has control runs of %lld frames in all, not its %d", frames_in_runs, out->frames);
  in.value("total", 0, INT_MAX, &out->total);
  if (!in.fault && in.end - in.at < 4) in.fault = cut_short;
  if (!in.fault && in.end - in.at > 4) in.fault = say("has bytes after its end (%ld)", (long)(in.end - in.at - 4));

  // A file cut short is said as such; any other fault of a file whose check
  // fails is damage, whatever it looked like
  bool sound = size >= 4 && crc_of(bytes, size - 4) ==
                                (bytes[size - 4] | bytes[size - 3] << 8 | bytes[size - 2] << 16 |
                                 (unsigned long)bytes[size - 1] << 24);
  if (in.fault == cut_short || (sound && in.fault)) return in.fault;
  return sound ? nullptr : "is damaged: its CRC-32 does not match";
}

static unsigned char file_bytes[replay_most_bytes + 1];

const char* read_replay(const char* name, replay* out) {
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return say("cannot be read (%s)", strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return "is not a file";
  }
  size_t size = 0;
  ssize_t n = 0;
  while (size < sizeof file_bytes && (n = read(fd, file_bytes + size, sizeof file_bytes - size)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    size += n;
  }
  int why = errno;
  close(fd);
  if (n < 0) return say("cannot be read (%s)", strerror(why));
  if (size > replay_most_bytes) return "is too big for a replay";
  return decode_replay(file_bytes, size, out);
}

bool write_replay(const char* name, const unsigned char* bytes, size_t size) {
  return save_whole(name, bytes, size, "replay");
}

bool replay_kept(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 && S_ISREG(st.st_mode);
}
