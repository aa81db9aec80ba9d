/* Geometry of the old file's read window (patch/hl_window.h). The patch creator
 * plans its covers against the same numbers, so a change here changes what mkpatch makes: the
 * window is an interface between the two, not a detail of the applier. */
#ifndef HL_FILE_WINDOW_GEOMETRY_H
#define HL_FILE_WINDOW_GEOMETRY_H

#include <stddef.h>
#include <stdint.h>

/* Run blocks: how many, their largest size and the size a run starts with after a jump. */
#define FILE_IN_WINDOW_RUNS 2
#define FILE_IN_WINDOW_RUN_SIZE ((size_t)1 << 18)
#define FILE_IN_WINDOW_RUN_START ((size_t)1 << 14)
/* A buffer sized for a file of size bytes: a sixteenth of the file as a power of two, from smallest
 * up to largest, and never more than the file. A small file is still passed in a few dozen calls,
 * and buffer pages that it never needs cost no memory. */
static inline size_t file_scaled_buffer_size(uint64_t size, size_t smallest, size_t largest) {
  size_t scaled = smallest;
  while (scaled < largest && (uint64_t)scaled * 2 * 16 <= size) {
    scaled *= 2;
  }
  if (scaled > largest) {
    scaled = largest;
  }
  return size < (uint64_t)scaled ? (size_t)size : scaled;
}

/* The most a run block of a file of fileSize bytes holds. */
static inline size_t file_in_window_run_size(uint64_t fileSize) {
  return file_scaled_buffer_size(fileSize, FILE_IN_WINDOW_RUN_START, FILE_IN_WINDOW_RUN_SIZE);
}

/* The cache of aligned pieces that takes short jumps: piece size, ways per set, pieces. */
#define FILE_IN_WINDOW_PIECE_SIZE ((size_t)1 << 9)
#define FILE_IN_WINDOW_PIECE_WAYS 4
#define FILE_IN_WINDOW_PIECES 2048
/* How many recent range ends are watched for a range that goes on from one of them. */
#define FILE_IN_WINDOW_TRACKS 4

#endif
