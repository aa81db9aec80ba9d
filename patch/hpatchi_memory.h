/* What one patch run will need, read from the patch's header and decompressor prefix before
 * anything is allocated, so that a caller can refuse a patch its memory cannot hold. */
#ifndef HPATCHI_MEMORY_H
#define HPATCHI_MEMORY_H

#include <stdint.h>

#include "patch/hl_result.h"
#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hpatchi_TMemoryNeed {
  uint32_t compress_type;
  uint32_t newSize;   /* bytes the patch writes */
  uint64_t mustSize;  /* M: the decompressor's memory */
  uint64_t cacheSize; /* I + P: input cache and patch cache */
  uint64_t total;     /* M + I + P: what hpatchi_patch allocates; a run over files also
                         allocates the old file's window and the read-ahead (hpatchi_run_block_size) */
  uint32_t inputSize; /* I: the input cache, 0 for an uncompressed body */
  /* The rest of the header, for a run that goes on from it (hpatchi_run_after_header). */
  uint32_t uncompressSize;
  uint32_t headerSize; /* bytes of the header: the decompressor prefix or the body starts here */
} hpatchi_TMemoryNeed;

/* Reads the header and the decompressor prefix through readDiff (from the start of the patch)
 * and fills need with the sizes hpatchi_patch would use for cacheSize, without allocating.
 * Returns HPATCHI_OK, or the code the driver would return for this patch before allocating:
 * HPATCHI_HEADER_ERROR, HPATCHI_COMPRESS_TYPE_ERROR or HPATCHI_DECOMPRESSER_INFO_ERROR. */
int hpatchi_memory_need(void* diffHandle, hl_read_fn readDiff, uint32_t cacheSize,
                        hpatchi_TMemoryNeed* need);

/* The block hpatchi_run allocates for the patch of need (filled by hpatchi_memory_need for
 * HPATCHI_CACHE_SIZE), an old file of oldSize bytes (none when hasOld is false) and a patch file
 * of patchSize bytes: need->total plus the old file's read window and, for a compressed body, the
 * patch's read-ahead. */
uint64_t hpatchi_run_block_size(const hpatchi_TMemoryNeed* need, hl_bool hasOld, uint64_t oldSize,
                                uint64_t patchSize);

#ifdef __cplusplus
}
#endif

#endif
