/* The layout of the driver's one memory block, in one place: hpatchi_patch and hpatchi_run
 * allocate by it, and hpatchi_run_block_size announces it before anything is allocated. */
#ifndef HPATCHI_PLAN_H
#define HPATCHI_PLAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The read-ahead of a compressed patch of patchSize bytes read through an input cache of
 * inputSize: none while the input cache reads it in a few dozen requests; for a larger patch, a
 * sixteenth of it up to 256 KiB. */
uint32_t hpatchi_read_ahead_size(uint64_t patchSize, uint32_t inputSize);

/* Where the parts of the block lie: the decoder memory and the caches (M + I + P) at its start,
 * then the old file's read window, then the patch's read-ahead, each 8-byte aligned. */
typedef struct hpatchi_TBlockPlan {
  uint64_t windowAt;
  uint64_t aheadAt;
  uint64_t total; /* bytes to allocate, never 0 */
} hpatchi_TBlockPlan;

/* The plan for cachesEnd = M + I + P bytes, a read window of windowSize bytes (0: none) and a
 * read-ahead of aheadSize bytes (0: none). */
hpatchi_TBlockPlan hpatchi_plan_block(uint64_t cachesEnd, size_t windowSize, uint32_t aheadSize);

#ifdef __cplusplus
}
#endif

#endif
