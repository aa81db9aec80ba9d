/* LZMA2 plugin: the LZMA2 chunk decoder over LzmaDec, fed from the driver's memory block. */
#ifndef LZMA2_PLUGIN_H
#define LZMA2_PLUGIN_H

#include <stddef.h>

#include "patch/decompress/lzma2_decoder.h"
#include "patch/decompress/lzma_feed.h"
#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _lzma2_TStream {
  hl_TLzmaFeed feed; /* first, so the decoder's allocator pointer is the record's address */
  hl_TLzma2Dec decoder;
  uint8_t dictProp;
} _lzma2_TStream;

hl_bool _lzma2_TStream_getReservedMemSize(_lzma2_TStream* stream, void* inputHandle,
                                          hl_read_fn readInput, uint32_t uncompressSize,
                                          uint64_t* memSize);
hl_bool _lzma2_TStream_open(_lzma2_TStream* stream, hl_byte* memory, uint64_t memSize,
                            uint32_t cacheSize);
hl_bool _lzma2_TStream_read(void* stream, hl_byte* out, uint32_t* count);
void _lzma2_TStream_close(_lzma2_TStream* stream);

#ifdef __cplusplus
}
#endif

#endif
