/* The old file's read window: its layout in the lent memory, and which ranges cost a load. */
#include "patch/hl_window.h"

#include <string.h>

#define HL_WINDOW_SETS (FILE_IN_WINDOW_PIECES / FILE_IN_WINDOW_PIECE_WAYS)

_Static_assert(FILE_IN_WINDOW_PIECE_SIZE <= 0xFFFFu && FILE_IN_WINDOW_PIECES < 0xFFFFu,
               "a tag keeps a piece's length and its slot in 16 bits");

/* The parts of the window of a file of fileSize bytes. */
typedef struct hl_TWindowLayout {
  uint64_t filePieces;
  size_t runSize;    /* the most one run block holds */
  size_t runStride;  /* one run block, rounded up to 8 bytes */
  size_t pieceSlots; /* one per piece of the file, up to the cache's size */
  size_t tagCount;   /* all the ways of each set that a piece of the file falls into */
} hl_TWindowLayout;

static hl_TWindowLayout hl_window_layout(uint64_t fileSize) {
  hl_TWindowLayout layout;
  uint64_t runBytes = file_in_window_run_size(fileSize);
  layout.filePieces = (fileSize + FILE_IN_WINDOW_PIECE_SIZE - 1) / FILE_IN_WINDOW_PIECE_SIZE;
  layout.runSize = (size_t)runBytes;
  layout.runStride = (size_t)((runBytes + 7u) & ~(uint64_t)7u);
  layout.pieceSlots =
      layout.filePieces < FILE_IN_WINDOW_PIECES ? (size_t)layout.filePieces : FILE_IN_WINDOW_PIECES;
  layout.tagCount =
      (layout.filePieces < HL_WINDOW_SETS ? (size_t)layout.filePieces : HL_WINDOW_SETS) *
      FILE_IN_WINDOW_PIECE_WAYS;
  return layout;
}

static size_t hl_window_pieces_at(const hl_TWindowLayout* layout) {
  return layout->runStride * FILE_IN_WINDOW_RUNS;
}

static size_t hl_window_tags_at(const hl_TWindowLayout* layout) {
  return hl_window_pieces_at(layout) + FILE_IN_WINDOW_PIECE_SIZE * layout->pieceSlots;
}

size_t hl_window_size(uint64_t fileSize) {
  hl_TWindowLayout layout = hl_window_layout(fileSize);
  return hl_window_tags_at(&layout) + sizeof(hl_TWindowTag) * layout.tagCount;
}

void hl_window_start(hl_TWindow* window, uint64_t fileSize, hl_byte* memory, hl_bool zeroed,
                     hl_window_load_fn load, void* loader) {
  unsigned i;
  memset(window, 0, sizeof(*window));
  for (i = 0; i < FILE_IN_WINDOW_TRACKS; ++i) {
    window->recentEnds[i] = ~(uint64_t)0;
  }
  window->fileSize = fileSize;
  window->load = load;
  window->loader = loader;
  if (memory != NULL) {
    hl_TWindowLayout layout = hl_window_layout(fileSize);
    window->memory = memory;
    window->runStride = layout.runStride;
    window->runSize = layout.runSize;
    window->filePieces = layout.filePieces;
    window->pieces = memory + hl_window_pieces_at(&layout);
    window->tags = (hl_TWindowTag*)(memory + hl_window_tags_at(&layout));
    if (!zeroed) {
      memset(window->tags, 0, sizeof(hl_TWindowTag) * layout.tagCount);
    }
  }
}

static hl_byte* hl_window_run_bytes(const hl_TWindow* window, unsigned run) {
  return window->memory + window->runStride * run;
}

static hl_byte* hl_window_piece_bytes(const hl_TWindow* window, unsigned slot) {
  return window->pieces + FILE_IN_WINDOW_PIECE_SIZE * (size_t)(window->tags[slot].bytes - 1u);
}

/* Ways of a set that pieces of the file fill: one for each such piece, up to all of them. A set
 * fills its ways in order and evicts only when all are taken, so the ways beyond these would stay
 * empty anyway; this way no more slots are handed out than the file has pieces. */
static unsigned hl_window_set_ways(const hl_TWindow* window, unsigned set) {
  uint64_t pieces = (window->filePieces - set + HL_WINDOW_SETS - 1) / HL_WINDOW_SETS;
  return pieces < FILE_IN_WINDOW_PIECE_WAYS ? (unsigned)pieces : FILE_IN_WINDOW_PIECE_WAYS;
}

/* The run block that holds position, or -1. */
static int hl_window_find_run(const hl_TWindow* window, uint64_t position) {
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    const hl_TWindowRun* run = &window->runs[i];
    if (position - run->position < run->length) {
      return (int)i;
    }
  }
  return -1;
}

/* The slot that holds piece number piece, or -1. */
static int hl_window_find_piece(const hl_TWindow* window, uint64_t piece) {
  unsigned first = (unsigned)(piece % HL_WINDOW_SETS) * FILE_IN_WINDOW_PIECE_WAYS;
  unsigned way;
  for (way = 0; way < FILE_IN_WINDOW_PIECE_WAYS; ++way) {
    if (window->tags[first + way].piece == piece + 1) {
      return (int)(first + way);
    }
  }
  return -1;
}

/* Loads the run block that starts with position's piece into the least recently used run block.
 * A run that goes on from the end of a run block doubles that block's length; any other run
 * starts small, since after a jump most runs are short. */
static int hl_window_fill_run(hl_TWindow* window, uint64_t position, uint64_t end) {
  uint64_t start = position & ~(uint64_t)(FILE_IN_WINDOW_PIECE_SIZE - 1);
  uint64_t length = FILE_IN_WINDOW_RUN_START;
  uint64_t left = window->fileSize - start;
  unsigned victim = 0;
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    const hl_TWindowRun* run = &window->runs[i];
    if (run->length != 0 && run->position + run->length == position) {
      length = (uint64_t)run->length * 2;
    }
    if (run->lastUse < window->runs[victim].lastUse) {
      victim = i;
    }
  }
  if (length < end - start) {
    length = end - start;
  }
  if (length > window->runSize) {
    length = window->runSize;
  }
  if (length > left) {
    length = left;
  }
  window->runs[victim].length = 0;
  ++window->loads;
  if (!window->load(window->loader, start, hl_window_run_bytes(window, victim), (size_t)length)) {
    return -1;
  }
  window->runs[victim].position = start;
  window->runs[victim].length = (uint32_t)length;
  return (int)victim;
}

/* Loads piece number piece into the least recently used way of its set. */
static int hl_window_fill_piece(hl_TWindow* window, uint64_t piece) {
  unsigned set = (unsigned)(piece % HL_WINDOW_SETS);
  unsigned first = set * FILE_IN_WINDOW_PIECE_WAYS;
  unsigned victim = first;
  unsigned ways = hl_window_set_ways(window, set);
  uint64_t start = piece * FILE_IN_WINDOW_PIECE_SIZE;
  uint64_t left = window->fileSize - start;
  uint32_t length =
      left < FILE_IN_WINDOW_PIECE_SIZE ? (uint32_t)left : (uint32_t)FILE_IN_WINDOW_PIECE_SIZE;
  unsigned way;
  for (way = 1; way < ways; ++way) {
    if (window->tags[first + way].lastUse < window->tags[victim].lastUse) {
      victim = first + way;
    }
  }
  window->tags[victim].piece = 0;
  if (window->tags[victim].bytes == 0) {
    window->tags[victim].bytes = (uint16_t)++window->piecesHandedOut;
  }
  ++window->loads;
  if (!window->load(window->loader, start, hl_window_piece_bytes(window, victim), length)) {
    return -1;
  }
  window->tags[victim].piece = piece + 1;
  window->tags[victim].length = (uint16_t)length;
  return (int)victim;
}

/* A range that starts where one of the last few ranges ended goes on with a run of reads; its
 * misses load whole run blocks. Any other short range is a jump, served by pieces. */
static hl_bool hl_window_continues(hl_TWindow* window, uint64_t position, uint64_t end) {
  hl_bool continues = hl_FALSE;
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_TRACKS; ++i) {
    if (window->recentEnds[i] == position) {
      continues = hl_TRUE;
    }
  }
  window->recentEnds[window->nextTrack] = end;
  window->nextTrack = (window->nextTrack + 1) % FILE_IN_WINDOW_TRACKS;
  return continues;
}

/* Finds the window's bytes at position, loading a run block (loadRun; up to end if it can) or a
 * piece when the window lacks them: *from points at them and *avail counts them from position on.
 */
static hl_bool hl_window_locate(hl_TWindow* window, uint64_t position, uint64_t end,
                                hl_bool loadRun, const hl_byte** from, uint64_t* avail) {
  uint64_t piece = position / FILE_IN_WINDOW_PIECE_SIZE;
  int run = hl_window_find_run(window, position);
  int slot = run < 0 ? hl_window_find_piece(window, piece) : -1;
  if (run < 0 && slot < 0) {
    if (loadRun) {
      run = hl_window_fill_run(window, position, end);
    } else {
      slot = hl_window_fill_piece(window, piece);
    }
    if (run < 0 && slot < 0) {
      return hl_FALSE;
    }
  }
  if (run >= 0) {
    hl_TWindowRun* block = &window->runs[run];
    block->lastUse = ++window->useClock;
    *from = hl_window_run_bytes(window, (unsigned)run) + (position - block->position);
    *avail = block->position + block->length - position;
  } else {
    hl_TWindowTag* tag = &window->tags[slot];
    uint64_t offset = position - piece * FILE_IN_WINDOW_PIECE_SIZE;
    tag->lastUse = ++window->useClock;
    *from = hl_window_piece_bytes(window, (unsigned)slot) + offset;
    *avail = tag->length - offset;
  }
  return hl_TRUE;
}

/* A patch of short covers asks for a few bytes at a time: those are copied without a call. */
static void hl_window_copy(hl_byte* out, const hl_byte* from, size_t size) {
  if (size <= 8) {
    size_t i;
    for (i = 0; i < size; ++i) {
      out[i] = from[i];
    }
  } else {
    memcpy(out, from, size);
  }
}

/* A patch of short covers asks for millions of ranges that a run block holds: the rest of a read,
 * loading and gathering, stays out of their way. */
#if defined(__GNUC__)
#define HL_WINDOW_SLOW_PATH __attribute__((noinline))
#else
#define HL_WINDOW_SLOW_PATH
#endif

/* Gathers [position, position + size) into out from the blocks that hold it, loading those that
 * the window lacks, unless one block holds it all: then that block's bytes are returned. */
static HL_WINDOW_SLOW_PATH const hl_byte* hl_window_gather(hl_TWindow* window, uint64_t position,
                                                           hl_byte* out, uint64_t size) {
  uint64_t end = position + size;
  hl_bool continues = hl_window_continues(window, position, end);
  hl_byte* cursor = out;
  while (position < end) {
    const hl_byte* from;
    uint64_t avail;
    hl_bool loadRun = continues || end - position >= FILE_IN_WINDOW_PIECE_SIZE;
    if (!hl_window_locate(window, position, end, loadRun, &from, &avail)) {
      return NULL;
    }
    if (avail >= end - position) {
      if (cursor == out) {
        return from;
      }
      avail = end - position;
    }
    hl_window_copy(cursor, from, (size_t)avail);
    cursor += avail;
    position += avail;
  }
  return out;
}

/* Most ranges lie inside one run block, the first that holds their position: their end is watched
 * and the block's use is the latest, as the gathering would count them. */
const hl_byte* hl_window_read(hl_TWindow* window, uint64_t position, hl_byte* out, uint64_t size) {
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    hl_TWindowRun* block = &window->runs[i];
    uint64_t offset = position - block->position;
    if (offset < block->length) {
      if (size > block->length - offset) {
        break;
      }
      window->recentEnds[window->nextTrack] = position + size;
      window->nextTrack = (window->nextTrack + 1) % FILE_IN_WINDOW_TRACKS;
      block->lastUse = ++window->useClock;
      return hl_window_run_bytes(window, i) + offset;
    }
  }
  return hl_window_gather(window, position, out, size);
}

hl_bool hl_window_holds(const hl_TWindow* window, uint64_t position, uint64_t size) {
  uint64_t end = position + size;
  while (position < end) {
    int run = hl_window_find_run(window, position);
    uint64_t piece = position / FILE_IN_WINDOW_PIECE_SIZE;
    if (run >= 0) {
      position = window->runs[run].position + window->runs[run].length;
    } else if (window->tags != NULL && hl_window_find_piece(window, piece) >= 0) {
      position = (piece + 1) * FILE_IN_WINDOW_PIECE_SIZE;
    } else {
      return hl_FALSE;
    }
  }
  return hl_TRUE;
}

void hl_window_run_blocks(const hl_TWindow* window, const hl_byte** bytes, uint64_t* positions,
                          uint32_t* lengths) {
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    bytes[i] = window->memory != NULL ? hl_window_run_bytes(window, i) : NULL;
    positions[i] = window->runs[i].position;
    lengths[i] = window->memory != NULL ? window->runs[i].length : 0;
  }
}

/* The same count ranges one by one give the same state: the ends of the last few fill the tracks,
 * and each block's use is the clock at its last range. */
void hl_window_took(hl_TWindow* window, uint32_t count, const uint64_t* ends,
                    const uint32_t* lastRange) {
  uint32_t kept = count < FILE_IN_WINDOW_TRACKS ? count : FILE_IN_WINDOW_TRACKS;
  uint32_t i;
  if (count == 0) {
    return;
  }
  for (i = 0; i < kept; ++i) {
    window->recentEnds[(window->nextTrack + count - kept + i) % FILE_IN_WINDOW_TRACKS] = ends[i];
  }
  window->nextTrack = (uint32_t)((window->nextTrack + count) % FILE_IN_WINDOW_TRACKS);
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    if (lastRange[i] != 0) {
      window->runs[i].lastUse = window->useClock + lastRange[i];
    }
  }
  window->useClock += count;
}
