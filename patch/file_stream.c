/* File streams over stdio with 64-bit positions and the one-line error rule. */
#include "patch/file_stream.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "patch/hl_platform.h"

FILE* fopen_utf8(const char* path, const char* mode) {
  if (path == NULL) {
    errno = EINVAL;
    return NULL;
  }
  return hl_platform_open(path, mode);
}

static int file_stream_seek(FILE* file, uint64_t position) {
  if (position > (uint64_t)INT64_MAX) {
    errno = EFBIG;
    return -1;
  }
  return hl_platform_seek(file, position);
}

/* Reads up to size bytes (at most FILE_STREAM_MAX_STEP) at position from the handle's descriptor,
 * past stdio. Returns the bytes read, 0 at the end of the file, -1 with errno set. */
static int64_t file_stream_pread(FILE* file, uint64_t position, hl_byte* buffer, size_t size) {
  if (position > (uint64_t)INT64_MAX) {
    errno = EFBIG;
    return -1;
  }
  return hl_platform_read_at(file, position, buffer, size);
}

/* Writes all size bytes at the position of the handle's descriptor, in pieces of at most
 * FILE_STREAM_MAX_STEP. False with errno set. */
static hl_bool file_stream_write_all(FILE* file, const hl_byte* data, size_t size) {
  while (size > 0) {
    size_t piece = size > FILE_STREAM_MAX_STEP ? FILE_STREAM_MAX_STEP : size;
    int64_t put = hl_platform_write(file, data, piece);
    if (put <= 0) {
      return hl_FALSE;
    }
    data += put;
    size -= (size_t)put;
  }
  return hl_TRUE;
}

/* The size of the regular file behind an open handle, or FILE_STREAM_POS_UNKNOWN; sizes only the
 * stdio buffer, so it sets no error. */
static uint64_t file_stream_size_hint(FILE* file) {
  int64_t size = hl_platform_regular_size(file);
  return size < 0 ? FILE_STREAM_POS_UNKNOWN : (uint64_t)size;
}

hl_bool file_stream_names_same_file(const TFileStream* stream, const char* path) {
  if (stream->file == NULL || path == NULL) {
    return hl_FALSE;
  }
  return hl_platform_same_file(stream->file, path);
}

/* The error rule: remember the first error of the stream, print each error that differs from
 * it. Always returns false so that callers can end with it. */
static hl_bool file_stream_fail(TFileStream* stream, int error) {
  if (error != 0 && error != stream->fileError) {
    if (stream->fileError == 0) {
      stream->fileError = error;
    }
    fflush(stdout);
    fprintf(stderr, FILE_STREAM_ERROR_LINE, error, strerror(error));
  }
  return hl_FALSE;
}

static hl_bool file_stream_fail_with(TFileStream* stream, int error) {
  errno = error;
  return file_stream_fail(stream, error);
}

/* The stdio buffer a file of size bytes needs: no more than the file, at least a little (the
 * Windows runtime refuses sizes below 2), at most the record's buffer. A buffer page that stdio
 * never fills costs no memory, so this is what the run can touch. */
static size_t file_stream_buffer_size(uint64_t size, size_t bufferSize) {
  if (size < FILE_STREAM_BUFFER_MIN) {
    return FILE_STREAM_BUFFER_MIN;
  }
  return size < (uint64_t)bufferSize ? (size_t)size : bufferSize;
}

/* Gives a closed record an open handle (path null) or the one it opens (path in UTF-8), with a
 * stdio buffer for sizeHint bytes (an input file's size is taken from the handle instead:
 * FILE_STREAM_POS_UNKNOWN), or unbuffered when buffer is null; the rest of the record is set by
 * the caller. A given handle is the record's from here on, also when this fails. */
static hl_bool file_stream_open_handle(TFileStream* stream, FILE* given, const char* path,
                                       const char* mode, char* buffer, size_t bufferSize,
                                       uint64_t sizeHint) {
  FILE* file = given;
  stream->fileError = 0;
  if (stream->file != NULL) {
    if (given != NULL) {
      fclose(given);
    }
    return file_stream_fail_with(stream, EINVAL);
  }
  errno = 0;
  if (file == NULL) {
    file = fopen_utf8(path, mode);
  }
  if (file == NULL) {
    return file_stream_fail(stream, errno);
  }
  if (sizeHint == FILE_STREAM_POS_UNKNOWN) {
    sizeHint = file_stream_size_hint(file);
  }
  /* Once, before any other operation on the handle, as stdio requires. No buffer: the stream
   * buffers itself. */
  if (buffer == NULL) {
    setvbuf(file, NULL, _IONBF, 0);
  } else {
    setvbuf(file, buffer, _IOFBF, file_stream_buffer_size(sizeHint, bufferSize));
  }
  stream->file = file;
  return hl_TRUE;
}

static hl_bool file_in_stream_start(TFileInStream* stream, FILE* given, const char* path) {
  TFileStream* base = &stream->base;
  int64_t size;
  if (!file_stream_open_handle(base, given, path, "rb", stream->ioBuffer, sizeof(stream->ioBuffer),
                               FILE_STREAM_POS_UNKNOWN)) {
    return hl_FALSE;
  }
  errno = 0;
  size = hl_platform_size(base->file);
  if (size < 0) {
    int error = errno;
    fclose(base->file);
    base->file = NULL;
    return file_stream_fail(base, error);
  }
  base->head.self = stream;
  base->head.streamSize = (uint64_t)size;
  base->head.read = file_in_stream_read;
  base->head.write = NULL;
  base->filePos = 0;
  base->fileBase = 0;
  file_in_stream_set_window(stream, NULL);
  return hl_TRUE;
}

hl_bool file_in_stream_open(TFileInStream* stream, const char* path) {
  return file_in_stream_start(stream, NULL, path);
}

hl_bool file_in_stream_adopt(TFileInStream* stream, FILE* file) {
  return file_in_stream_start(stream, file, NULL);
}

static hl_bool file_out_stream_start(TFileOutStream* stream, FILE* given, const char* path,
                                     uint64_t maxSize) {
  if (!file_stream_open_handle(&stream->base, given, path, "wb+", NULL, 0, maxSize)) {
    return hl_FALSE;
  }
  stream->bufferSize = (uint32_t)file_stream_buffer_size(
      maxSize, file_scaled_buffer_size(maxSize, FILE_STREAM_SCALED_MIN, sizeof(stream->ioBuffer)));
  stream->held = 0;
  stream->base.head.self = stream;
  stream->base.head.streamSize = maxSize;
  stream->base.head.read = file_out_stream_read_back;
  stream->base.head.write = file_out_stream_write;
  stream->base.filePos = 0;
  stream->base.fileBase = 0;
  stream->canSeekBack = hl_FALSE;
  stream->inReadMode = hl_FALSE;
  stream->outLength = 0;
  return hl_TRUE;
}

hl_bool file_out_stream_open(TFileOutStream* stream, const char* path, uint64_t maxSize) {
  return file_out_stream_start(stream, NULL, path, maxSize);
}

hl_bool file_out_stream_adopt(TFileOutStream* stream, FILE* file, uint64_t maxSize) {
  return file_out_stream_start(stream, file, NULL, maxSize);
}

/* Writes out the bytes the output stream holds. They are gone afterwards also when the write
 * failed (false, errno set), as stdio drops the bytes of a failed write. */
static hl_bool file_out_stream_drain(TFileOutStream* stream) {
  uint32_t held = stream->held;
  stream->held = 0;
  return held == 0 ||
         file_stream_write_all(stream->base.file, (const hl_byte*)stream->ioBuffer, held);
}

hl_bool file_stream_close(TFileStream* stream) {
  FILE* file = stream->file;
  hl_bool drained = hl_TRUE;
  int drainError = 0;
  hl_bool closed;
  if (file == NULL) {
    return hl_TRUE;
  }
  /* Only an output stream has a write operation, and bytes held back. */
  if (stream->head.write != NULL) {
    errno = 0;
    drained = file_out_stream_drain((TFileOutStream*)stream->head.self);
    drainError = errno;
  }
  /* Closed from here on, whatever fclose says. */
  stream->file = NULL;
  errno = 0;
  closed = fclose(file) == 0;
  if (!closed) {
    drainError = drained ? errno : drainError;
  }
  if (!drained || !closed) {
    return file_stream_fail(stream, drainError);
  }
  return hl_TRUE;
}

void file_in_stream_clear(TFileInStream* stream) {
  memset(stream, 0, offsetof(TFileInStream, ioBuffer));
}

void file_out_stream_clear(TFileOutStream* stream) {
  memset(stream, 0, offsetof(TFileOutStream, ioBuffer));
}

/* [position, position + size) must lie inside [0, streamSize). */
static hl_bool file_stream_range_ok(const TFileStream* stream, uint64_t position, uint64_t size) {
  uint64_t limit = stream->head.streamSize;
  return size <= limit && position <= limit - size;
}

static hl_bool file_stream_read_range(TFileStream* stream, uint64_t position, hl_byte* start,
                                      hl_byte* end) {
  uint64_t size;
  uint64_t target;
  hl_byte* cursor = start;

  if (start == end) {
    return hl_TRUE;
  }
  size = (uint64_t)(end - start);
  if (!file_stream_range_ok(stream, position, size)) {
    return file_stream_fail_with(stream, EFBIG);
  }
  target = stream->fileBase + position;
  if (stream->filePos != target) {
    errno = 0;
    if (file_stream_seek(stream->file, target) != 0) {
      stream->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(stream, errno);
    }
  }
  while (cursor < end) {
    size_t piece = (size_t)(end - cursor);
    if (piece > FILE_STREAM_MAX_STEP) {
      piece = FILE_STREAM_MAX_STEP;
    }
    errno = 0;
    if (fread(cursor, 1, piece, stream->file) != piece) {
      stream->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(stream, errno);
    }
    cursor += piece;
  }
  stream->filePos = target + size;
  return hl_TRUE;
}

/* ---- the input stream: positioned reads through the window ---- */

#define FILE_IN_WINDOW_SETS (FILE_IN_WINDOW_PIECES / FILE_IN_WINDOW_PIECE_WAYS)

_Static_assert(FILE_IN_WINDOW_PIECE_SIZE <= 0xFFFFu && FILE_IN_WINDOW_PIECES < 0xFFFFu,
               "a tag keeps a piece's length and its slot in 16 bits");

/* Reads exactly [position, position + size) into buffer, in pieces of at most FILE_STREAM_MAX_STEP.
 * A failure makes the position unknown and goes through the error rule; a file that ends early
 * fails with no error number, as a short fread did. */
static hl_bool file_in_stream_fill(TFileStream* stream, uint64_t position, hl_byte* buffer,
                                   uint64_t size) {
  while (size > 0) {
    size_t piece = size > FILE_STREAM_MAX_STEP ? FILE_STREAM_MAX_STEP : (size_t)size;
    int64_t got;
    errno = 0;
    got = file_stream_pread(stream->file, stream->fileBase + position, buffer, piece);
    if (got <= 0) {
      stream->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(stream, errno);
    }
    buffer += got;
    position += (uint64_t)got;
    size -= (uint64_t)got;
  }
  return hl_TRUE;
}

/* The parts of the window of a file of fileSize bytes. */
typedef struct TFileInWindowLayout {
  uint64_t filePieces;
  size_t runSize;    /* the most one run block holds */
  size_t runStride;  /* one run block, rounded up to 8 bytes */
  size_t pieceSlots; /* one per piece of the file, up to the cache's size */
  size_t tagCount;   /* all the ways of each set that a piece of the file falls into */
} TFileInWindowLayout;

static TFileInWindowLayout file_in_window_layout(uint64_t fileSize) {
  TFileInWindowLayout layout;
  uint64_t runBytes = file_in_window_run_size(fileSize);
  layout.filePieces = (fileSize + FILE_IN_WINDOW_PIECE_SIZE - 1) / FILE_IN_WINDOW_PIECE_SIZE;
  layout.runSize = (size_t)runBytes;
  layout.runStride = (size_t)((runBytes + 7u) & ~(uint64_t)7u);
  layout.pieceSlots =
      layout.filePieces < FILE_IN_WINDOW_PIECES ? (size_t)layout.filePieces : FILE_IN_WINDOW_PIECES;
  layout.tagCount =
      (layout.filePieces < FILE_IN_WINDOW_SETS ? (size_t)layout.filePieces : FILE_IN_WINDOW_SETS) *
      FILE_IN_WINDOW_PIECE_WAYS;
  return layout;
}

static size_t file_in_window_pieces_at(const TFileInWindowLayout* layout) {
  return layout->runStride * FILE_IN_WINDOW_RUNS;
}

static size_t file_in_window_tags_at(const TFileInWindowLayout* layout) {
  return file_in_window_pieces_at(layout) + FILE_IN_WINDOW_PIECE_SIZE * layout->pieceSlots;
}

size_t file_in_window_size(uint64_t fileSize) {
  TFileInWindowLayout layout = file_in_window_layout(fileSize);
  return file_in_window_tags_at(&layout) + sizeof(TFileInWindowTag) * layout.tagCount;
}

size_t file_in_stream_window_size(const TFileInStream* stream) {
  return file_in_window_size(stream->base.head.streamSize);
}

void file_in_stream_set_window(TFileInStream* stream, hl_byte* memory) {
  if (memory != NULL) {
    TFileInWindowLayout layout = file_in_window_layout(stream->base.head.streamSize);
    memset(memory + file_in_window_tags_at(&layout), 0, sizeof(TFileInWindowTag) * layout.tagCount);
  }
  file_in_stream_set_zeroed_window(stream, memory);
}

void file_in_stream_set_zeroed_window(TFileInStream* stream, hl_byte* memory) {
  TFileInWindow* window = &stream->window;
  unsigned i;
  memset(window, 0, sizeof(*window));
  for (i = 0; i < FILE_IN_WINDOW_TRACKS; ++i) {
    window->recentEnds[i] = FILE_STREAM_POS_UNKNOWN;
  }
  if (memory != NULL) {
    TFileInWindowLayout layout = file_in_window_layout(stream->base.head.streamSize);
    window->memory = memory;
    window->runStride = layout.runStride;
    window->runSize = layout.runSize;
    window->filePieces = layout.filePieces;
    window->pieces = memory + file_in_window_pieces_at(&layout);
    window->tags = (TFileInWindowTag*)(memory + file_in_window_tags_at(&layout));
  }
}

static hl_byte* file_in_window_run_bytes(const TFileInWindow* window, unsigned run) {
  return window->memory + window->runStride * run;
}

static hl_byte* file_in_window_piece_bytes(const TFileInWindow* window, unsigned slot) {
  return window->pieces + FILE_IN_WINDOW_PIECE_SIZE * (size_t)(window->tags[slot].bytes - 1u);
}

/* Ways of a set that pieces of the file fill: one for each such piece, up to all of them. A set
 * fills its ways in order and evicts only when all are taken, so the ways beyond these would stay
 * empty anyway; this way no more slots are handed out than the file has pieces. */
static unsigned file_in_window_set_ways(const TFileInWindow* window, unsigned set) {
  uint64_t pieces = (window->filePieces - set + FILE_IN_WINDOW_SETS - 1) / FILE_IN_WINDOW_SETS;
  return pieces < FILE_IN_WINDOW_PIECE_WAYS ? (unsigned)pieces : FILE_IN_WINDOW_PIECE_WAYS;
}

/* The run block that holds position, or -1. */
static int file_in_window_find_run(const TFileInWindow* window, uint64_t position) {
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    const TFileInWindowRun* run = &window->runs[i];
    if (position - run->position < run->length) {
      return (int)i;
    }
  }
  return -1;
}

/* The slot that holds piece number piece, or -1. */
static int file_in_window_find_piece(const TFileInWindow* window, uint64_t piece) {
  unsigned first = (unsigned)(piece % FILE_IN_WINDOW_SETS) * FILE_IN_WINDOW_PIECE_WAYS;
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
static int file_in_window_fill_run(TFileStream* stream, TFileInWindow* window, uint64_t position,
                                   uint64_t end) {
  uint64_t start = position & ~(uint64_t)(FILE_IN_WINDOW_PIECE_SIZE - 1);
  uint64_t length = FILE_IN_WINDOW_RUN_START;
  uint64_t left = stream->head.streamSize - start;
  unsigned victim = 0;
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    const TFileInWindowRun* run = &window->runs[i];
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
  if (!file_in_stream_fill(stream, start, file_in_window_run_bytes(window, victim), length)) {
    return -1;
  }
  window->runs[victim].position = start;
  window->runs[victim].length = (uint32_t)length;
  return (int)victim;
}

/* Reads piece number piece into the least recently used way of its set. */
static int file_in_window_fill_piece(TFileStream* stream, TFileInWindow* window, uint64_t piece) {
  unsigned set = (unsigned)(piece % FILE_IN_WINDOW_SETS);
  unsigned first = set * FILE_IN_WINDOW_PIECE_WAYS;
  unsigned victim = first;
  unsigned ways = file_in_window_set_ways(window, set);
  uint64_t start = piece * FILE_IN_WINDOW_PIECE_SIZE;
  uint64_t left = stream->head.streamSize - start;
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
  if (!file_in_stream_fill(stream, start, file_in_window_piece_bytes(window, victim), length)) {
    return -1;
  }
  window->tags[victim].piece = piece + 1;
  window->tags[victim].length = (uint16_t)length;
  return (int)victim;
}

/* A range that starts where one of the last few ranges ended goes on with a run of reads; its
 * misses load whole run blocks. Any other short range is a jump, served by pieces. */
static hl_bool file_in_window_continues(TFileInWindow* window, uint64_t position, uint64_t end) {
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
static hl_bool file_in_window_locate(TFileStream* stream, TFileInWindow* window, uint64_t position,
                                     uint64_t end, hl_bool loadRun, const hl_byte** from,
                                     uint64_t* avail) {
  uint64_t piece = position / FILE_IN_WINDOW_PIECE_SIZE;
  int run = file_in_window_find_run(window, position);
  int slot = run < 0 ? file_in_window_find_piece(window, piece) : -1;
  if (run < 0 && slot < 0) {
    if (loadRun) {
      run = file_in_window_fill_run(stream, window, position, end);
    } else {
      slot = file_in_window_fill_piece(stream, window, piece);
    }
    if (run < 0 && slot < 0) {
      return hl_FALSE;
    }
  }
  if (run >= 0) {
    TFileInWindowRun* block = &window->runs[run];
    block->lastUse = ++window->useClock;
    *from = file_in_window_run_bytes(window, (unsigned)run) + (position - block->position);
    *avail = block->position + block->length - position;
  } else {
    TFileInWindowTag* tag = &window->tags[slot];
    uint64_t offset = position - piece * FILE_IN_WINDOW_PIECE_SIZE;
    tag->lastUse = ++window->useClock;
    *from = file_in_window_piece_bytes(window, (unsigned)slot) + offset;
    *avail = tag->length - offset;
  }
  return hl_TRUE;
}

/* A patch of short covers asks for a few bytes at a time: those are copied without a call. */
static void file_in_window_copy(hl_byte* out, const hl_byte* from, size_t size) {
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
#define FILE_IN_WINDOW_SLOW_PATH __attribute__((noinline))
#else
#define FILE_IN_WINDOW_SLOW_PATH
#endif

/* Gathers [position, position + size) into out from the blocks that hold it, loading those that
 * the window lacks, unless one block holds it all: then that block's bytes are returned. */
static FILE_IN_WINDOW_SLOW_PATH const hl_byte* file_in_window_gather(TFileStream* stream,
                                                                     TFileInWindow* window,
                                                                     uint64_t position,
                                                                     hl_byte* out, uint64_t size,
                                                                     hl_bool continues) {
  uint64_t end = position + size;
  hl_byte* cursor = out;
  while (position < end) {
    const hl_byte* from;
    uint64_t avail;
    hl_bool loadRun = continues || end - position >= FILE_IN_WINDOW_PIECE_SIZE;
    if (!file_in_window_locate(stream, window, position, end, loadRun, &from, &avail)) {
      return NULL;
    }
    if (avail >= end - position) {
      if (cursor == out) {
        return from;
      }
      avail = end - position;
    }
    file_in_window_copy(cursor, from, (size_t)avail);
    cursor += avail;
    position += avail;
  }
  return out;
}

/* Where the bytes of [position, position + size) are: inside the window when one block of it holds
 * them all, else in out, which they are gathered into. Null after a failure. */
static const hl_byte* file_in_window_read(TFileStream* stream, TFileInWindow* window,
                                          uint64_t position, hl_byte* out, uint64_t size) {
  uint64_t end = position + size;
  hl_bool continues = file_in_window_continues(window, position, end);
  int hit = file_in_window_find_run(window, position);
  /* Most ranges lie inside one run block: found as the gathering would find them. */
  if (hit >= 0 && end - window->runs[hit].position <= window->runs[hit].length) {
    TFileInWindowRun* block = &window->runs[hit];
    block->lastUse = ++window->useClock;
    return file_in_window_run_bytes(window, (unsigned)hit) + (position - block->position);
  }
  return file_in_window_gather(stream, window, position, out, size, continues);
}

/* A range that run block run held, as the window counts it: its end is watched and the block's
 * use is the latest. */
static void file_in_window_took(TFileInWindow* window, uint64_t end, unsigned run) {
  window->recentEnds[window->nextTrack] = end;
  window->nextTrack = (window->nextTrack + 1) % FILE_IN_WINDOW_TRACKS;
  window->runs[run].lastUse = ++window->useClock;
}

/* The same count ranges one by one give the same state: the ends of the last few fill the tracks,
 * and each block's use is the clock at its last range. */
void file_in_stream_took(TFileInStream* stream, uint32_t count, const uint64_t* ends,
                         const uint32_t* lastRange) {
  TFileInWindow* window = &stream->window;
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
  stream->base.filePos = stream->base.fileBase + ends[kept - 1];
}

void file_in_stream_run_blocks(const TFileInStream* stream, const hl_byte** bytes,
                               uint64_t* positions, uint32_t* lengths) {
  const TFileInWindow* window = &stream->window;
  unsigned i;
  for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
    bytes[i] = window->memory != NULL ? file_in_window_run_bytes(window, i) : NULL;
    positions[i] = window->runs[i].position;
    lengths[i] = window->memory != NULL ? window->runs[i].length : 0;
  }
}

/* file_in_stream_lend for all but a range inside a run block. */
static FILE_IN_WINDOW_SLOW_PATH const hl_byte* file_in_stream_lend_any(TFileInStream* stream,
                                                                       uint64_t position,
                                                                       hl_byte* start,
                                                                       uint64_t size) {
  TFileStream* base = &stream->base;
  const hl_byte* at = start;
  if (!file_stream_range_ok(base, position, size)) {
    file_stream_fail_with(base, EFBIG);
    return NULL;
  }
  if (stream->window.memory != NULL) {
    at = file_in_window_read(base, &stream->window, position, start, size);
  } else if (!file_in_stream_fill(base, position, start, size)) {
    at = NULL;
  }
  if (at != NULL) {
    base->filePos = base->fileBase + position + size;
  }
  return at;
}

/* A patch of short covers lends millions of ranges that one run block holds: those take the steps
 * that file_in_window_read takes for them, and nothing else. A run block lies inside the file, so
 * such a range is in range. Runs are tried in the order file_in_window_find_run tries them. */
const hl_byte* file_in_stream_lend(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                                   hl_byte* end) {
  TFileInStream* stream = (TFileInStream*)head->self;
  TFileInWindow* window = &stream->window;
  uint64_t size = (uint64_t)(end - start);
  unsigned i;
  if (size == 0) {
    return start;
  }
  if (window->memory != NULL) {
    for (i = 0; i < FILE_IN_WINDOW_RUNS; ++i) {
      TFileInWindowRun* block = &window->runs[i];
      uint64_t offset = position - block->position;
      if (offset < block->length) {
        if (size > block->length - offset) {
          break;
        }
        file_in_window_took(window, position + size, i);
        stream->base.filePos = stream->base.fileBase + position + size;
        return file_in_window_run_bytes(window, i) + offset;
      }
    }
  }
  return file_in_stream_lend_any(stream, position, start, size);
}

hl_bool file_in_stream_read(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                            hl_byte* end) {
  const hl_byte* at;
  if (start == end) {
    return hl_TRUE;
  }
  at = file_in_stream_lend(head, position, start, end);
  if (at == NULL) {
    return hl_FALSE;
  }
  if (at != start) {
    file_in_window_copy(start, at, (size_t)(end - start));
  }
  return hl_TRUE;
}

hl_bool file_out_stream_write(const TFileStreamHead* head, uint64_t position, const hl_byte* start,
                              const hl_byte* end) {
  TFileOutStream* stream = (TFileOutStream*)head->self;
  TFileStream* base = &stream->base;
  uint64_t size;
  const hl_byte* cursor = start;

  if (start == end) {
    return hl_TRUE;
  }
  size = (uint64_t)(end - start);
  if (!file_stream_range_ok(base, position, size)) {
    return file_stream_fail_with(base, EFBIG);
  }
  if (stream->inReadMode) {
    stream->inReadMode = hl_FALSE;
    base->filePos = FILE_STREAM_POS_UNKNOWN;
  }
  if (position != base->filePos) {
    if (!stream->canSeekBack) {
      return file_stream_fail_with(base, ERANGE);
    }
    errno = 0;
    if (!file_out_stream_drain(stream) || fflush(base->file) != 0 ||
        file_stream_seek(base->file, position) != 0) {
      base->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(base, errno);
    }
    base->filePos = position;
  }
  while (cursor < end) {
    uint32_t room;
    hl_byte* at = file_out_stream_space(stream, &room);
    size_t piece = (size_t)(end - cursor);
    if (piece > room) {
      piece = room;
    }
    memcpy(at, cursor, piece);
    cursor += piece;
    errno = 0;
    if (!file_out_stream_commit(stream, (uint32_t)piece)) {
      base->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(base, errno);
    }
  }
  base->filePos = position + size;
  if (stream->outLength < position + size) {
    stream->outLength = position + size;
  }
  return hl_TRUE;
}

hl_byte* file_out_stream_space(TFileOutStream* stream, uint32_t* size) {
  *size = stream->bufferSize - stream->held;
  return (hl_byte*)stream->ioBuffer + stream->held;
}

hl_bool file_out_stream_commit(TFileOutStream* stream, uint32_t size) {
  TFileStream* base = &stream->base;
  stream->held += size;
  base->filePos += size;
  if (stream->outLength < base->filePos) {
    stream->outLength = base->filePos;
  }
  if (stream->held == stream->bufferSize && !file_out_stream_drain(stream)) {
    base->filePos = FILE_STREAM_POS_UNKNOWN;
    return hl_FALSE;
  }
  return hl_TRUE;
}

hl_bool file_out_stream_read_back(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                                  hl_byte* end) {
  TFileOutStream* stream = (TFileOutStream*)head->self;
  TFileStream* base = &stream->base;
  if (!stream->inReadMode) {
    errno = 0;
    if (!file_out_stream_drain(stream) || fflush(base->file) != 0) {
      base->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(base, errno);
    }
    base->filePos = FILE_STREAM_POS_UNKNOWN;
    stream->inReadMode = hl_TRUE;
  }
  return file_stream_read_range(base, position, start, end);
}
