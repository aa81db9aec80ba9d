/* LZMA2 plugin: liblzma's raw LZMA2 decoder fed from the driver's memory block.
 * Built only where liblzma is available (HL_HAVE_LZMA2). */
#ifndef LZMA2_PLUGIN_H
#define LZMA2_PLUGIN_H

#include <stddef.h>

#include <lzma.h>

#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _lzma2_TStream {
  lzma_allocator allocator; /* opaque = this record; alloc = the pool allocator */
  void* inputHandle;
  hl_read_fn readInput;
  uint32_t outLeft;         /* decompressed bytes still allowed */
  hl_byte* poolCursor;
  uint64_t poolLeft;
  hl_byte* cacheBuf;
  uint32_t cacheSize;
  lzma_stream decoder;      /* its next_in/avail_in track the unread part of the input cache */
  uint8_t dictProp;
} _lzma2_TStream;

hl_bool _lzma2_TStream_getReservedMemSize(_lzma2_TStream* stream, void* inputHandle, hl_read_fn readInput,
                                          uint32_t uncompressSize, uint64_t* memSize);
hl_bool _lzma2_TStream_open(_lzma2_TStream* stream, hl_byte* memory, uint64_t memSize, uint32_t cacheSize);
hl_bool _lzma2_TStream_read(void* stream, hl_byte* out, uint32_t* count);
void _lzma2_TStream_close(_lzma2_TStream* stream);

#ifdef __cplusplus
}
#endif

#endif
