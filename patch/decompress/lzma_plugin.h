/* LZMA plugin: the LZMA SDK's LzmaDec fed from the driver's memory block. */
#ifndef LZMA_PLUGIN_H
#define LZMA_PLUGIN_H

#include <stddef.h>

#include "lzma/LzmaDec.h"
#include "patch/decompress/lzma_feed.h"
#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LZMA_PLUGIN_PROPS_MAX 8

typedef struct _lzma_TStream {
  hl_TLzmaFeed feed; /* first, so the decoder's allocator pointer is the record's address */
  CLzmaDec decoder;
  uint8_t propsSize;
  hl_byte props[LZMA_PLUGIN_PROPS_MAX];
} _lzma_TStream;

hl_bool _lzma_TStream_getReservedMemSize(_lzma_TStream* stream, void* inputHandle,
                                         hl_read_fn readInput, uint32_t uncompressSize,
                                         uint64_t* memSize);
hl_bool _lzma_TStream_open(_lzma_TStream* stream, hl_byte* memory, uint64_t memSize,
                           uint32_t cacheSize);
hl_bool _lzma_TStream_read(void* stream, hl_byte* out, uint32_t* count);
void _lzma_TStream_close(_lzma_TStream* stream);

#ifdef __cplusplus
}
#endif

#endif
