/* The read window over the old file: which ranges it serves from what it holds, and which cost
 * it a load. It does no I/O itself: its owner gives it a load operation, which the file stream
 * (file_stream.c) makes a positioned read and the patch creator (diff/read_budget.cpp) a count,
 * so that the creator plans against the very window the applier reads through.
 *
 * A real patch reads the old file in millions of short ranges: runs that go on where a recent
 * range ended, and short covers that jump anywhere in the file. The window keeps the two kinds
 * apart: run blocks follow the runs, starting small after a jump and doubling while the run goes
 * on; a set-associative cache of small aligned pieces takes the jumps, so that a jump costs one
 * short load and does not throw away the run it left. The memory is lent by the owner; the sizes
 * are in file_window_geometry.h. A small file gets a smaller window that behaves the same: its run
 * blocks are a sixteenth of the file (file_in_window_run_size), and a set of the piece cache has
 * only as many ways as the file has pieces that fall into it. Piece slots are handed out in the
 * order the cache first fills them, so a run that loads few pieces touches few pages. */
#ifndef HL_WINDOW_H
#define HL_WINDOW_H

#include <stddef.h>
#include <stdint.h>

#include "patch/file_window_geometry.h"
#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Loads exactly [position, position + size) of the file into buffer; false on failure, which the
 * owner reports. */
typedef hl_bool (*hl_window_load_fn)(void* loader, uint64_t position, hl_byte* buffer, size_t size);

/* Where one cached piece comes from: its piece number plus one (0: empty) and its last use. */
typedef struct hl_TWindowTag {
  uint64_t piece;
  uint32_t lastUse;
  uint16_t length; /* bytes held; short only at the end of the file */
  uint16_t bytes; /* which of the window's piece slots holds them, plus one; 0 until first filled */
} hl_TWindowTag;

/* One run block: the file range it holds, [position, position + length), piece-aligned. */
typedef struct hl_TWindowRun {
  uint64_t position;
  uint32_t length; /* 0 while empty */
  uint32_t lastUse;
} hl_TWindowRun;

typedef struct hl_TWindow {
  hl_byte* memory; /* null: no window; the owner reads each range itself */
  size_t
      runSize; /* the most a run block holds: less than FILE_IN_WINDOW_RUN_SIZE for a small file */
  size_t runStride;         /* bytes from one run block to the next */
  hl_byte* pieces;          /* the piece slots, after the run blocks */
  uint32_t piecesHandedOut; /* piece slots that a tag has taken */
  hl_TWindowTag* tags;      /* FILE_IN_WINDOW_PIECE_WAYS per set in use, at the end of memory */
  uint64_t filePieces;      /* pieces in the file, the last one perhaps short */
  hl_TWindowRun runs[FILE_IN_WINDOW_RUNS];
  uint64_t recentEnds[FILE_IN_WINDOW_TRACKS]; /* ends of the last ranges asked for */
  uint32_t nextTrack;
  uint32_t useClock;
  uint64_t loads; /* run blocks and pieces loaded since the memory was lent */
  uint64_t fileSize;
  hl_window_load_fn load;
  void* loader; /* passed to load */
} hl_TWindow;

/* The most memory a window takes: the window of a file of any size. */
#define HL_WINDOW_SIZE_MAX                             \
  (FILE_IN_WINDOW_RUN_SIZE * FILE_IN_WINDOW_RUNS +     \
   FILE_IN_WINDOW_PIECE_SIZE * FILE_IN_WINDOW_PIECES + \
   sizeof(hl_TWindowTag) * FILE_IN_WINDOW_PIECES)

/* Bytes of memory the window of a file of fileSize bytes uses, a multiple of 8, at most
 * HL_WINDOW_SIZE_MAX. */
size_t hl_window_size(uint64_t fileSize);

/* Starts an empty window over a file of fileSize bytes in hl_window_size(fileSize) bytes of
 * 8-byte aligned memory (null: no window). zeroed tells that the memory's bytes are all zero
 * already (as calloc gives them): the tags are then not written before they are used, so the
 * pages of the sets that a run never uses are never touched. */
void hl_window_start(hl_TWindow* window, uint64_t fileSize, hl_byte* memory, hl_bool zeroed,
                     hl_window_load_fn load, void* loader);

/* Where the bytes of [position, position + size) are, a range inside the file and not empty:
 * inside the window when one block of it holds them all (valid until the window's next read),
 * else in out, which they are gathered into, loading what the window lacks. Null after a failed
 * load. Needs memory. */
const hl_byte* hl_window_read(hl_TWindow* window, uint64_t position, hl_byte* out, uint64_t size);

/* Whether every byte of [position, position + size) is held, so that a read of it loads
 * nothing; changes nothing. */
hl_bool hl_window_holds(const hl_TWindow* window, uint64_t position, uint64_t size);

/* The run blocks as they stand, FILE_IN_WINDOW_RUNS of them in the order reading tries them:
 * where each one's bytes are and the file range [positions[i], positions[i] + lengths[i]) they
 * hold (length 0 without memory). */
void hl_window_run_blocks(const hl_TWindow* window, const hl_byte** bytes, uint64_t* positions,
                          uint32_t* lengths);

/* What hl_window_read does to the window for count ranges (at least one), each of which the
 * first run block that holds its position held whole, for an owner that took their bytes from
 * hl_window_run_blocks itself: ends holds where the last min(count, FILE_IN_WINDOW_TRACKS) of
 * them end, oldest first; lastRange[i] is the number (from 1) of the last of them that run block
 * i held, 0 for none. */
void hl_window_took(hl_TWindow* window, uint32_t count, const uint64_t* ends,
                    const uint32_t* lastRange);

#ifdef __cplusplus
}
#endif

#endif
