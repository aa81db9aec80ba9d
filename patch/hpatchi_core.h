/* The patch driver with its output streams given: hpatchi_run and hpatchi_patch are these with
 * standard output and standard error. For the project's own programs and tests, which check a
 * patch without a trace on their standard output; not installed. The file streams' lines about a
 * failed system call (patch/file_stream.h) still go to standard error. */
#ifndef HPATCHI_CORE_H
#define HPATCHI_CORE_H

#include <stdint.h>
#include <stdio.h>

#include "patch/hpatch_lite.h"
#include "patch/hpatchi_memory.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hpatchi_TOutput {
  FILE* trace;  /* the trace; null for none */
  FILE* errors; /* the error lines; null for none */
} hpatchi_TOutput;

/* What a run came to: its result code and, when the patch itself failed (codes 11, 20 and 21),
 * whether its file ended before the patch did or could not be read (enum hpatchi_cause). A caller
 * may leave a patch still being written, or one on a failing disk, for a later try, and give up
 * on a malformed one. */
typedef struct hpatchi_TOutcome {
  int code;
  int cause;
} hpatchi_TOutcome;

/* Files the caller has opened for a run (file_in_stream_adopt, file_out_stream_adopt): each
 * handle that is not null is used instead of opening its path, which then only names the file in
 * the trace. The run closes every handle given, whatever happens. */
typedef struct hpatchi_TOpenFiles {
  FILE* oldFile;
  FILE* diffFile;
  FILE* newFile;
} hpatchi_TOpenFiles;

/* hpatchi_run, printing to output, over the files given (files may be null), with the cause of a
 * failure. */
hpatchi_TOutcome hpatchi_run_outcome(const hpatchi_TOutput* output, const hpatchi_TOpenFiles* files,
                                     const char* oldPath, const char* diffPath,
                                     const char* outPath);

/* hpatchi_run_outcome for a patch whose header the caller has read already, with
 * hpatchi_memory_need from the patch's start: the run takes the header from need and reads the
 * patch on from need->headerSize, wherever the patch's handle stands. */
hpatchi_TOutcome hpatchi_run_after_header(const hpatchi_TOutput* output,
                                          const hpatchi_TOpenFiles* files,
                                          const hpatchi_TMemoryNeed* need, const char* oldPath,
                                          const char* diffPath, const char* outPath);

/* hpatchi_run, printing to output. */
int hpatchi_run_to(const hpatchi_TOutput* output, const char* oldPath, const char* diffPath,
                   const char* outPath);

/* hpatchi_patch, printing to output. */
int hpatchi_patch_to(const hpatchi_TOutput* output, PatchListener* listener, uint32_t compress_type,
                     uint32_t newSize, uint32_t uncompressSize, uint32_t cacheSize);

#ifdef __cplusplus
}
#endif

#endif
