/* The engine's system calls on POSIX systems. */
/* 64-bit file positions and the POSIX interfaces from the C library; the macros count only ahead
 * of the first system header. */
#define _FILE_OFFSET_BITS 64
#define _POSIX_C_SOURCE 200809L

#include "patch/hl_platform.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

FILE* hl_platform_open(const char* path, const char* mode) {
  /* POSIX file names are bytes; UTF-8 is used as it stands. */
  return fopen(path, mode);
}

int hl_platform_seek(FILE* file, uint64_t position) {
  return fseeko(file, (off_t)position, SEEK_SET);
}

int64_t hl_platform_size(FILE* file) {
  struct stat info;
  off_t size;
  hl_bool known = fstat(fileno(file), &info) == 0;
  /* stdio opens directories here for reading; their "size" is meaningless. */
  if (known && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return -1;
  }
  /* A regular file's size is known without a seek to its end, where glibc fills the stdio buffer
   * with the file's last block: a read, and buffer pages touched for nothing. */
  if (known && S_ISREG(info.st_mode) && info.st_size >= 0) {
    return (int64_t)info.st_size;
  }
  if (fseeko(file, 0, SEEK_END) != 0) {
    return -1;
  }
  size = ftello(file);
  if (size < 0) {
    return -1;
  }
  if (fseeko(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return (int64_t)size;
}

int64_t hl_platform_regular_size(FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
    return -1;
  }
  return (int64_t)info.st_size;
}

/* pread does not move the descriptor at all. */
int64_t hl_platform_read_at(FILE* file, uint64_t position, hl_byte* buffer, size_t size) {
  ssize_t got;
  do {
    got = pread(fileno(file), buffer, size, (off_t)position);
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : (int64_t)got;
}

int64_t hl_platform_write(FILE* file, const hl_byte* data, size_t size) {
  ssize_t put;
  do {
    put = write(fileno(file), data, size);
  } while (put < 0 && errno == EINTR);
  return (int64_t)put;
}

hl_bool hl_platform_same_file(FILE* file, const char* path) {
  struct stat openInfo;
  struct stat pathInfo;
  if (fstat(fileno(file), &openInfo) != 0 || stat(path, &pathInfo) != 0) {
    return hl_FALSE;
  }
  return openInfo.st_dev == pathInfo.st_dev && openInfo.st_ino == pathInfo.st_ino;
}

double hl_platform_clock_seconds(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return 0.0;
  }
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

void hl_platform_print_path(FILE* out, const char* path) {
  /* The terminal shows UTF-8 bytes as the text they encode. */
  fprintf(out, "%s", path);
}
