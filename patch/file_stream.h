/* File streams of a patch run: an input stream that knows its size and reads any byte range, and
 * an output stream that is written front to back. Both keep the first system error met on them
 * and print each new one to standard error in one fixed line. Paths are UTF-8. */
#ifndef HL_FILE_STREAM_H
#define HL_FILE_STREAM_H

#include <stdint.h>
#include <stdio.h>

#include "patch/file_window_geometry.h"
#include "patch/hl_types.h"
#include "patch/hl_window.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The line the error rule prints, with the errno and strerror's text. */
#define FILE_STREAM_ERROR_LINE "call import system api error! errno: %d, errmsg: %s.\n"

/* Reads of and writes to stdio move at most this much per call. */
#define FILE_STREAM_MAX_STEP ((size_t)1 << 20)

/* The position value that means "where the stdio handle stands is unknown". */
#define FILE_STREAM_POS_UNKNOWN (~(uint64_t)0)

typedef struct TFileStreamHead TFileStreamHead;

/* Start of both kinds of record; the read and write operations receive this head. */
struct TFileStreamHead {
  void* self;          /* the record this head starts */
  uint64_t streamSize; /* input: size at opening; output: declared maximum size */
  /* Reads [position, position + (end - start)) into start. */
  hl_bool (*read)(const TFileStreamHead* head, uint64_t position, hl_byte* start, hl_byte* end);
  /* Writes [start, end) at position; output streams only. */
  hl_bool (*write)(const TFileStreamHead* head, uint64_t position, const hl_byte* start,
                   const hl_byte* end);
};

/* Buffers of the streams, kept in the records so that a run needs no heap besides its one block.
 * Input through stdio is only the patch file's, read from front to back; old-file ranges are read
 * with positioned reads and never go through stdio. An uncompressed patch of short covers is six
 * times the size of what it writes, so its reads alone cost 96 calls per MiB of output with
 * 64 KiB; twice that halves them. Output is strictly sequential and buffered by the output stream
 * itself. */
#define FILE_IN_STREAM_BUFFER_SIZE ((size_t)1 << 17)
#define FILE_OUT_STREAM_BUFFER_SIZE ((size_t)1 << 16)
/* The output buffer of a file below 16 times its size is a sixteenth of the file, but not less
 * than this (file_scaled_buffer_size); so is the driver's read-ahead of a large patch. */
#define FILE_STREAM_SCALED_MIN ((size_t)1 << 14)
/* The buffers are the largest a stream uses: opening uses only what the file needs (an input
 * file's size, an output file's declared maximum), and never less than this. */
#define FILE_STREAM_BUFFER_MIN ((size_t)512)

/* The read window of an input stream is the module of hl_window.h, whose loads the stream makes
 * positioned reads of its file. The memory is lent by the caller (the driver puts it in its one
 * block). A range inside the window costs no system call. The names below are the window's
 * records under the names the stream has always given them. */
typedef hl_TWindowTag TFileInWindowTag;
typedef hl_TWindowRun TFileInWindowRun;
typedef hl_TWindow TFileInWindow;

/* The most window memory that file_in_stream_set_window takes: the window of a file of any size. */
#define FILE_IN_WINDOW_SIZE HL_WINDOW_SIZE_MAX

/* The fields both kinds of stream have, at the start of each. Zeroed means closed. */
typedef struct TFileStream {
  TFileStreamHead head;
  FILE* file;        /* null while closed */
  uint64_t filePos;  /* input: end of the last range read; output: where the handle stands;
                        FILE_STREAM_POS_UNKNOWN after a failure */
  int32_t fileError; /* 0, or the first errno recorded; survives closing */
} TFileStream;

/* An open record must stay where it is: stdio uses its buffer until the close. */
typedef struct TFileInStream {
  TFileStream base;
  TFileInWindow window;
  char ioBuffer[FILE_IN_STREAM_BUFFER_SIZE];
} TFileInStream;

/* The output stream keeps its bytes in ioBuffer until it is full, then hands it to the file in
 * one write; stdio itself buffers nothing. A writer that makes its bytes itself can place them in
 * ioBuffer directly (file_out_stream_space), so that they are copied no more on their way. */
typedef struct TFileOutStream {
  TFileStream base;
  int32_t inReadMode;  /* true after a read-back, until the next write */
  uint64_t outLength;  /* highest end position written */
  uint32_t bufferSize; /* bytes of ioBuffer in use: no more than the declared size needs */
  uint32_t held;       /* bytes in ioBuffer not yet written to the file */
  char ioBuffer[FILE_OUT_STREAM_BUFFER_SIZE];
} TFileOutStream;

/* Opens path ("rb" or "wb+") given in UTF-8. On Windows the path goes through UTF-16. Returns
 * null with errno set on failure. */
FILE* fopen_utf8(const char* path, const char* mode);

/* Opens path for reading and measures its size. False after reporting the error. */
hl_bool file_in_stream_open(TFileInStream* stream, const char* path);

/* Creates or truncates path for reading and writing, declaring maxSize. False after reporting. */
hl_bool file_out_stream_open(TFileOutStream* stream, const char* path, uint64_t maxSize);

/* The two opens over a handle the caller opened, on which nothing has been done yet: for reading,
 * and for reading and writing at the start of an empty file. The stream owns the handle from the
 * call on and closes it, also when the call fails. For callers that open their files themselves,
 * so that no name is looked up again between their checks and the run. */
hl_bool file_in_stream_adopt(TFileInStream* stream, FILE* file);
hl_bool file_out_stream_adopt(TFileOutStream* stream, FILE* file, uint64_t maxSize);

/* Zero the fields of a record, which is then closed, and leave its stdio buffer untouched: pages
 * of the buffer that no run fills then cost no memory. A zeroed record is a cleared one too. */
void file_in_stream_clear(TFileInStream* stream);
void file_out_stream_clear(TFileOutStream* stream);

/* Closes either kind (pass &stream.base). True when nothing was open or the
 * close succeeded; the record is closed afterwards in any case. */
hl_bool file_stream_close(TFileStream* stream);

/* True when path names the very file that the open stream has open (also through another name
 * or a hard link); false when it does not, or when that cannot be told. */
hl_bool file_stream_names_same_file(const TFileStream* stream, const char* path);

/* Bytes of window memory the open stream's file can use, a multiple of 8, at most
 * FILE_IN_WINDOW_SIZE. */
size_t file_in_stream_window_size(const TFileInStream* stream);
/* The same for a file of fileSize bytes, before it is opened. */
size_t file_in_window_size(uint64_t fileSize);

/* Lends the open stream file_in_stream_window_size bytes of 8-byte aligned memory for its read
 * window, or takes the window back (memory null); the window starts empty either way. The memory
 * must stay valid until it is taken back or the record is opened again. */
void file_in_stream_set_window(TFileInStream* stream, hl_byte* memory);

/* file_in_stream_set_window for memory whose bytes are all zero already (as calloc gives them):
 * the window's tags are then not written before they are used, so the pages of the sets that a run
 * never uses are never touched. */
void file_in_stream_set_zeroed_window(TFileInStream* stream, hl_byte* memory);

/* The input stream's read operation: positioned reads, through the window when it has one. */
hl_bool file_in_stream_read(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                            hl_byte* end);

/* file_in_stream_read without the copy where it can: returns where the bytes of
 * [position, position + (end - start)) are, inside the window when one block of it holds them all
 * (valid until the stream's next read or change of window), else in start after reading them
 * there. An empty range gives start. Null after a failure, reported as the read reports it. */
const hl_byte* file_in_stream_lend(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                                   hl_byte* end);

/* The window's run blocks as they stand, FILE_IN_WINDOW_RUNS of them in the order lending tries
 * them: where each one's bytes are and the file range [positions[i], positions[i] + lengths[i])
 * they hold (length 0 without a window). Valid until the stream's next read or change of window. */
void file_in_stream_run_blocks(const TFileInStream* stream, const hl_byte** bytes,
                               uint64_t* positions, uint32_t* lengths);

/* What file_in_stream_lend does to the window for count ranges, each of which the first run block
 * that holds its position held whole, for a caller that took their bytes from
 * file_in_stream_run_blocks itself: ends holds where the last min(count, FILE_IN_WINDOW_TRACKS)
 * of them end, oldest first; lastRange[i] is the number (from 1) of the last of them that run
 * block i held, 0 for none. */
void file_in_stream_took(TFileInStream* stream, uint32_t count, const uint64_t* ends,
                         const uint32_t* lastRange);

/* The output stream's write and read operations. */
hl_bool file_out_stream_write(const TFileStreamHead* head, uint64_t position, const hl_byte* start,
                              const hl_byte* end);
/* Room in the open output stream's buffer for the next bytes of the file: where they go, and in
 * *size how many fit (1 at least). */
hl_byte* file_out_stream_space(TFileOutStream* stream, uint32_t* size);

/* The first size bytes of the room that file_out_stream_space gave are the next bytes of the file
 * (its position and outLength move on). A full buffer is written out here: false when that fails,
 * with errno set and those bytes lost, as stdio loses them; nothing is printed, the caller
 * reports. */
hl_bool file_out_stream_commit(TFileOutStream* stream, uint32_t size);

hl_bool file_out_stream_read_back(const TFileStreamHead* head, uint64_t position, hl_byte* start,
                                  hl_byte* end);

#ifdef __cplusplus
}
#endif

#endif
