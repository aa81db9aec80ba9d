/* The bump allocator that serves a plugin's decoder memory from the driver's block. */
#ifndef POOL_ALLOC_H
#define POOL_ALLOC_H

#include <stddef.h>
#include <stdint.h>

#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Returns *cursor and advances it by size, or null when fewer than size bytes are left.
 * No alignment: callers whose decoder needs it round size up themselves. */
static inline void* hl_pool_take(hl_byte** cursor, uint64_t* left, uint64_t size) {
  void* block;
  if (size > *left) return NULL;
  block = *cursor;
  *cursor += size;
  *left -= size;
  return block;
}

#ifdef __cplusplus
}
#endif

#endif
