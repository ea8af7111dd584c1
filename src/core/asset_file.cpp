#include "core/asset_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

unsigned char* read_asset(const char* name, long* size, const char** why) {
  // Without blocking: a FIFO or a device in an asset's place would hold up
  // the start-up; only a regular file is read.
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = errno == ENOENT ? nullptr : strerror(errno);
    return nullptr;
  }
  struct stat st;
  unsigned char* bytes = nullptr;
  *why = nullptr;
  if (fstat(fd, &st) != 0) *why = strerror(errno);
  else if (!S_ISREG(st.st_mode)) *why = "not a regular file";
  else if (st.st_size > asset_bytes_max) *why = "larger than 2 MB";
  else if (!(bytes = (unsigned char*)malloc(st.st_size + 1))) *why = strerror(ENOMEM);
  long got = 0;
  while (bytes && got < st.st_size) {
    ssize_t n = read(fd, bytes + got, st.st_size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *why = strerror(errno);
    if (n <= 0) break;  // a file cut short meanwhile: its checks refuse what is missing
    got += n;
  }
  close(fd);
  if (*why) {
    free(bytes);
    return nullptr;
  }
  *size = got;
  return bytes;
}

// Where a PACKFILE over memory reads next.
struct asset_reader {
  const unsigned char* bytes;
  long size;
  long at;
};

static int reader_fclose(void* r) {
  delete static_cast<asset_reader*>(r);
  return 0;
}

static int reader_getc(void* p) {
  asset_reader* r = static_cast<asset_reader*>(p);
  return r->at < r->size ? r->bytes[r->at++] : EOF;
}

static int reader_ungetc(int c, void* p) {
  asset_reader* r = static_cast<asset_reader*>(p);
  if (r->at == 0 || r->bytes[r->at - 1] != c) return EOF;
  r->at--;
  return c;
}

static long reader_fread(void* to, long n, void* p) {
  asset_reader* r = static_cast<asset_reader*>(p);
  if (n > r->size - r->at) n = r->size - r->at;
  if (n <= 0) return 0;
  memcpy(to, r->bytes + r->at, n);
  r->at += n;
  return n;
}

static int reader_putc(int, void*) { return EOF; }
static long reader_fwrite(const void*, long, void*) { return 0; }

// Allegro seeks only forwards, from where it is.
static int reader_fseek(void* p, int offset) {
  asset_reader* r = static_cast<asset_reader*>(p);
  if (offset < 0 || offset > r->size - r->at) return -1;
  r->at += offset;
  return 0;
}

static int reader_feof(void* p) {
  asset_reader* r = static_cast<asset_reader*>(p);
  return r->at >= r->size;
}

static int reader_ferror(void*) { return 0; }

static const PACKFILE_VTABLE from_memory = {reader_fclose, reader_getc,  reader_ungetc,
                                            reader_fread,  reader_putc,  reader_fwrite,
                                            reader_fseek,  reader_feof,  reader_ferror};

PACKFILE* open_asset_bytes(const unsigned char* bytes, long size) {
  asset_reader* r = new asset_reader{bytes, size, 0};
  PACKFILE* f = pack_fopen_vtable(&from_memory, r);
  if (!f) delete r;
  return f;
}
