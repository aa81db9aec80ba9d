/* The patch driver: applies an hpatch_lite patch file to an old file, writing the new file, with
 * a trace on standard output, error lines on standard error and a result code (patch/hl_result.h).
 */
#ifndef HPATCHI_H
#define HPATCHI_H

#include <stdint.h>
#include <stdio.h>

#include "patch/file_stream.h"
#include "patch/hl_result.h"
#include "patch/hpatch_lite.h"

#ifdef __cplusplus
extern "C" {
#endif

/* hpatchi_run gives hpatchi_patch the cache size HPATCHI_CACHE_SIZE (patch/hpatch_lite_format.h).
 */

/* Applies the patch at diffPath to the file at oldPath and writes outPath. Paths are UTF-8;
 * oldPath may be NULL or "" for "no old file". Returns an hpatchi_result. The new file is left as
 * far as it was written when the patch fails. */
int hpatchi_run(const char* oldPath, const char* diffPath, const char* outPath);

/* Sets up the decompressor that compress_type names, reading its prefix through the listener's
 * reader (which must stand right after the header), runs hpatch_lite_patch in one memory block
 * sized from cacheSize and cleans up. The listener's reader is restored before returning.
 * Returns HPATCHI_OK or one of the codes 9 to 13 and 21. */
int hpatchi_patch(PatchListener* listener, uint32_t compress_type, uint32_t newSize,
                  uint32_t uncompressSize, uint32_t cacheSize);

#ifdef __cplusplus
}
#endif

#endif
