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
  target = position;
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

/* Reads exactly [position, position + size) into buffer, in pieces of at most FILE_STREAM_MAX_STEP.
 * A failure makes the position unknown and goes through the error rule; a file that ends early
 * fails with no error number, as a short fread did. */
static hl_bool file_in_stream_fill(TFileStream* stream, uint64_t position, hl_byte* buffer,
                                   uint64_t size) {
  while (size > 0) {
    size_t piece = size > FILE_STREAM_MAX_STEP ? FILE_STREAM_MAX_STEP : (size_t)size;
    int64_t got;
    errno = 0;
    got = file_stream_pread(stream->file, position, buffer, piece);
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

/* The window's load: a positioned read of the stream's file. */
static hl_bool file_in_stream_load(void* loader, uint64_t position, hl_byte* buffer, size_t size) {
  return file_in_stream_fill((TFileStream*)loader, position, buffer, size);
}

size_t file_in_window_size(uint64_t fileSize) { return hl_window_size(fileSize); }

size_t file_in_stream_window_size(const TFileInStream* stream) {
  return hl_window_size(stream->base.head.streamSize);
}

void file_in_stream_set_window(TFileInStream* stream, hl_byte* memory) {
  hl_window_start(&stream->window, stream->base.head.streamSize, memory, hl_FALSE,
                  file_in_stream_load, &stream->base);
}

void file_in_stream_set_zeroed_window(TFileInStream* stream, hl_byte* memory) {
  hl_window_start(&stream->window, stream->base.head.streamSize, memory, hl_TRUE,
                  file_in_stream_load, &stream->base);
}

void file_in_stream_took(TFileInStream* stream, uint32_t count, const uint64_t* ends,
                         const uint32_t* lastRange) {
  uint32_t kept = count < FILE_IN_WINDOW_TRACKS ? count : FILE_IN_WINDOW_TRACKS;
  if (count == 0) {
    return;
  }
  hl_window_took(&stream->window, count, ends, lastRange);
  stream->base.filePos = ends[kept - 1];
}

void file_in_stream_run_blocks(const TFileInStream* stream, const hl_byte** bytes,
                               uint64_t* positions, uint32_t* lengths) {
  hl_window_run_blocks(&stream->window, bytes, positions, lengths);
}

const hl_byte* file_in_stream_lend(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                                   hl_byte* end) {
  TFileInStream* stream = (TFileInStream*)head->self;
  TFileStream* base = &stream->base;
  uint64_t size = (uint64_t)(end - start);
  const hl_byte* at = start;
  if (size == 0) {
    return start;
  }
  if (!file_stream_range_ok(base, position, size)) {
    file_stream_fail_with(base, EFBIG);
    return NULL;
  }
  if (stream->window.memory != NULL) {
    at = hl_window_read(&stream->window, position, start, size);
  } else if (!file_in_stream_fill(base, position, start, size)) {
    at = NULL;
  }
  if (at != NULL) {
    base->filePos = position + size;
  }
  return at;
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
    memcpy(start, at, (size_t)(end - start));
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
  /* Writes follow each other: the new file is written once, front to back. */
  if (position != base->filePos) {
    return file_stream_fail_with(base, ERANGE);
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
