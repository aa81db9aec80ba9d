/* What the engine asks of the operating system: files opened by UTF-8 path as stdio handles, their
 * size, reads at an offset and writes beside stdio, the same-file test, a clock and the printing
 * of a path. One source file per system implements them (platform_posix.c, platform_win32.c); the
 * build picks it. Not installed. */
#ifndef HL_PLATFORM_H
#define HL_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens path, given in UTF-8, with the stdio mode ("rb", "wb+"). Null with errno set. */
FILE* hl_platform_open(const char* path, const char* mode);

/* Puts the handle at position (at most INT64_MAX). 0, or -1 with errno set. */
int hl_platform_seek(FILE* file, uint64_t position);

/* Size of an open file, leaving the handle at 0; -1 with errno set. */
int64_t hl_platform_size(FILE* file);

/* The size of the regular file behind an open handle, or -1 for anything else; for sizing the
 * stdio buffer only, so it is no error. */
int64_t hl_platform_regular_size(FILE* file);

/* Reads up to size bytes (at most FILE_STREAM_MAX_STEP) at position (at most INT64_MAX) from the
 * handle's descriptor, leaving stdio's view of the handle alone. Returns the bytes read, 0 at the
 * end of the file, -1 with errno set. */
int64_t hl_platform_read_at(FILE* file, uint64_t position, hl_byte* buffer, size_t size);

/* Writes up to size bytes (at most FILE_STREAM_MAX_STEP) at the position of the handle's
 * descriptor, past stdio. Returns the bytes written; 0 or less with errno set. */
int64_t hl_platform_write(FILE* file, const hl_byte* data, size_t size);

/* True when path names the very file that file has open (also through another name or a hard
 * link); false when it does not, or when that cannot be told. */
hl_bool hl_platform_same_file(FILE* file, const char* path);

/* Seconds of a monotonic clock, for timing a run. */
double hl_platform_clock_seconds(void);

/* Prints path, given in UTF-8, to out as the system's console shows it. */
void hl_platform_print_path(FILE* out, const char* path);

#ifdef __cplusplus
}
#endif

#endif
