/* File streams over stdio with 64-bit positions and the one-line error rule. */
#ifndef _WIN32
#define _FILE_OFFSET_BITS 64
#define _POSIX_C_SOURCE 200809L
#endif

#include "patch/file_stream.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif

#ifndef FILE_STREAM_BUFFER_SIZE
#define FILE_STREAM_BUFFER_SIZE ((size_t)1 << 16)
#endif

/* Wide buffer for a converted path, terminator included. */
#define FILE_STREAM_WIDE_PATH_CHARS 2048

#ifdef _WIN32

FILE* fopen_utf8(const char* path, const char* mode) {
  wchar_t widePath[FILE_STREAM_WIDE_PATH_CHARS];
  wchar_t wideMode[8];
  size_t i;
  FILE* file = NULL;
  errno_t openError;

  if (path == NULL) {
    errno = EINVAL;
    return NULL;
  }
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath,
                          FILE_STREAM_WIDE_PATH_CHARS) == 0) {
    errno = (GetLastError() == ERROR_INSUFFICIENT_BUFFER) ? ENAMETOOLONG : EILSEQ;
    return NULL;
  }
  /* Mode strings are short ASCII. */
  for (i = 0; mode[i] != '\0' && i + 1 < sizeof(wideMode) / sizeof(wideMode[0]); ++i) {
    wideMode[i] = (wchar_t)(unsigned char)mode[i];
  }
  wideMode[i] = L'\0';
  openError = _wfopen_s(&file, widePath, wideMode);
  if (openError != 0) {
    errno = openError;
    return NULL;
  }
  return file;
}

static int file_stream_seek(FILE* file, uint64_t position) {
  if (position > (uint64_t)INT64_MAX) {
    errno = EFBIG;
    return -1;
  }
  return _fseeki64(file, (__int64)position, SEEK_SET);
}

/* Size of an open file, or -1 with errno set; leaves the handle at 0. */
static int64_t file_stream_measure(FILE* file) {
  __int64 size;
  if (_fseeki64(file, 0, SEEK_END) != 0) {
    return -1;
  }
  size = _ftelli64(file);
  if (size < 0) {
    return -1;
  }
  if (_fseeki64(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return (int64_t)size;
}

hl_bool file_stream_names_same_file(const TFileStream* stream, const char* path) {
  wchar_t widePath[FILE_STREAM_WIDE_PATH_CHARS];
  BY_HANDLE_FILE_INFORMATION openInfo;
  BY_HANDLE_FILE_INFORMATION pathInfo;
  HANDLE other;
  BOOL known;

  if (stream->file == NULL || path == NULL) {
    return hl_FALSE;
  }
  if (!GetFileInformationByHandle((HANDLE)_get_osfhandle(_fileno(stream->file)), &openInfo)) {
    return hl_FALSE;
  }
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath,
                          FILE_STREAM_WIDE_PATH_CHARS) == 0) {
    return hl_FALSE;
  }
  other = CreateFileW(widePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (other == INVALID_HANDLE_VALUE) {
    return hl_FALSE;
  }
  known = GetFileInformationByHandle(other, &pathInfo);
  CloseHandle(other);
  return known && openInfo.dwVolumeSerialNumber == pathInfo.dwVolumeSerialNumber &&
         openInfo.nFileIndexHigh == pathInfo.nFileIndexHigh &&
         openInfo.nFileIndexLow == pathInfo.nFileIndexLow;
}

#else

hl_bool file_stream_names_same_file(const TFileStream* stream, const char* path) {
  struct stat openInfo;
  struct stat pathInfo;
  if (stream->file == NULL || path == NULL) {
    return hl_FALSE;
  }
  if (fstat(fileno(stream->file), &openInfo) != 0 || stat(path, &pathInfo) != 0) {
    return hl_FALSE;
  }
  return openInfo.st_dev == pathInfo.st_dev && openInfo.st_ino == pathInfo.st_ino;
}

FILE* fopen_utf8(const char* path, const char* mode) {
  if (path == NULL) {
    errno = EINVAL;
    return NULL;
  }
  /* POSIX file names are bytes; UTF-8 is used as it stands. */
  return fopen(path, mode);
}

static int file_stream_seek(FILE* file, uint64_t position) {
  if (position > (uint64_t)INT64_MAX) {
    errno = EFBIG;
    return -1;
  }
  return fseeko(file, (off_t)position, SEEK_SET);
}

static int64_t file_stream_measure(FILE* file) {
  struct stat info;
  off_t size;
  /* stdio opens directories here for reading; their "size" is meaningless. */
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return -1;
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

#endif

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

/* Opens the handle of a closed record; the rest of the record is set by the caller. */
static hl_bool file_stream_open_handle(TFileStream* stream, const char* path, const char* mode,
                                       char* buffer, size_t bufferSize) {
  FILE* file;
  stream->fileError = 0;
  if (stream->file != NULL) {
    return file_stream_fail_with(stream, EINVAL);
  }
  errno = 0;
  file = fopen_utf8(path, mode);
  if (file == NULL) {
    return file_stream_fail(stream, errno);
  }
  /* Patch chunks are up to 16 KiB; a buffer several times that keeps the system calls few. */
  setvbuf(file, NULL, _IOFBF, FILE_STREAM_BUFFER_SIZE);
  /* Before any other operation on the handle, as stdio requires. */
  setvbuf(file, buffer, _IOFBF, bufferSize);
  stream->file = file;
  return hl_TRUE;
}

hl_bool file_in_stream_open(TFileInStream* stream, const char* path) {
  TFileStream* base = &stream->base;
  int64_t size;
  if (!file_stream_open_handle(base, path, "rb", stream->ioBuffer, sizeof(stream->ioBuffer))) {
    return hl_FALSE;
  }
  errno = 0;
  size = file_stream_measure(base->file);
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
  return hl_TRUE;
}

hl_bool file_out_stream_open(TFileOutStream* stream, const char* path, uint64_t maxSize) {
  if (!file_stream_open_handle(&stream->base, path, "wb+", stream->ioBuffer,
                               sizeof(stream->ioBuffer))) {
    return hl_FALSE;
  }
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

hl_bool file_stream_close(TFileStream* stream) {
  FILE* file = stream->file;
  if (file == NULL) {
    return hl_TRUE;
  }
  /* Closed from here on, whatever fclose says. */
  stream->file = NULL;
  errno = 0;
  if (fclose(file) != 0) {
    return file_stream_fail(stream, errno);
  }
  return hl_TRUE;
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

hl_bool file_in_stream_read(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                            hl_byte* end) {
  return file_stream_read_range(&((TFileInStream*)head->self)->base, position, start, end);
}

hl_bool file_out_stream_write(const TFileStreamHead* head, uint64_t position,
                              const hl_byte* start, const hl_byte* end) {
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
    if (fflush(base->file) != 0 || file_stream_seek(base->file, position) != 0) {
      base->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(base, errno);
    }
    base->filePos = position;
  }
  while (cursor < end) {
    size_t piece = (size_t)(end - cursor);
    if (piece > FILE_STREAM_MAX_STEP) {
      piece = FILE_STREAM_MAX_STEP;
    }
    errno = 0;
    if (fwrite(cursor, 1, piece, base->file) != piece) {
      base->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(base, errno);
    }
    cursor += piece;
  }
  base->filePos = position + size;
  if (stream->outLength < position + size) {
    stream->outLength = position + size;
  }
  return hl_TRUE;
}

hl_bool file_out_stream_read_back(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                                  hl_byte* end) {
  TFileOutStream* stream = (TFileOutStream*)head->self;
  TFileStream* base = &stream->base;
  if (!stream->inReadMode) {
    errno = 0;
    if (fflush(base->file) != 0) {
      base->filePos = FILE_STREAM_POS_UNKNOWN;
      return file_stream_fail(base, errno);
    }
    base->filePos = FILE_STREAM_POS_UNKNOWN;
    stream->inReadMode = hl_TRUE;
  }
  return file_stream_read_range(base, position, start, end);
}
