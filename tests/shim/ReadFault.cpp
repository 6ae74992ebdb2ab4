// Preloaded into a discsift run (LD_PRELOAD) to give one image a bad
// sector: the file named by DISCSIFT_READ_FAULT_FILE, when opened for
// reading, reads normally up to byte DISCSIFT_READ_FAULT_AT and fails with
// EIO from there on, as a CD-R with an unreadable sector does.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct BadImage {
  int fd;
  off64_t pos;
  off64_t size;
  off64_t badAt;
};

ssize_t readBad(void* cookie, char* buf, size_t len) {
  BadImage* b = static_cast<BadImage*>(cookie);
  if (b->pos >= b->badAt) {
    errno = EIO;
    return -1;
  }
  off64_t room = b->badAt - b->pos;
  if (static_cast<off64_t>(len) > room) len = static_cast<size_t>(room);
  ssize_t n = pread64(b->fd, buf, len, b->pos);
  if (n > 0) b->pos += n;
  return n;
}

int seekBad(void* cookie, off64_t* offset, int whence) {
  BadImage* b = static_cast<BadImage*>(cookie);
  off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? b->pos : b->size;
  if (base + *offset < 0) {
    errno = EINVAL;
    return -1;
  }
  b->pos = base + *offset;
  *offset = b->pos;
  return 0;
}

int closeBad(void* cookie) { return close(static_cast<BadImage*>(cookie)->fd); }

// The one image of a run; a process that ends without closing it leaves
// nothing allocated behind.
BadImage Slot;

FILE* openBad(const char* path, const char* mode) {
  const char* name = getenv("DISCSIFT_READ_FAULT_FILE");
  const char* at = getenv("DISCSIFT_READ_FAULT_AT");
  if (name == nullptr || at == nullptr || strcmp(path, name) != 0 || mode[0] != 'r') return nullptr;
  int fd = open(path, O_RDONLY);
  if (fd < 0) return nullptr;
  struct stat st;
  fstat(fd, &st);
  Slot = BadImage{fd, 0, st.st_size, static_cast<off64_t>(strtoll(at, nullptr, 0))};
  cookie_io_functions_t io = {readBad, nullptr, seekBad, closeBad};
  return fopencookie(&Slot, "rb", io);
}

}  // namespace

extern "C" FILE* fopen64(const char* path, const char* mode) {
  if (FILE* f = openBad(path, mode)) return f;
  using Fn = FILE* (*)(const char*, const char*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fopen64"));
  return real(path, mode);
}

extern "C" FILE* fopen(const char* path, const char* mode) {
  if (FILE* f = openBad(path, mode)) return f;
  using Fn = FILE* (*)(const char*, const char*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fopen"));
  return real(path, mode);
}
