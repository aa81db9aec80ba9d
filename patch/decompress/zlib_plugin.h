/* zlib plugin: inflate (zlib, gzip or raw deflate framing) fed from the driver's memory block. */
#ifndef ZLIB_PLUGIN_H
#define ZLIB_PLUGIN_H

#include <zlib.h>

#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _zlib_TStream {
  void* inputHandle;
  hl_read_fn readInput;
  uint32_t outLeft; /* decompressed bytes still allowed */
  hl_byte* poolCursor;
  uint64_t poolLeft;
  hl_byte* cacheBuf;
  uint32_t cacheSize;
  z_stream strm;     /* opaque = this record, zalloc = the pool allocator */
  int8_t windowBits; /* the prefix byte as read, handed to inflateInit2 unchanged */
} _zlib_TStream;

/* Reads the window-bits byte and gives the memory the inflater needs (window + state). */
hl_bool _zlib_TStream_getReservedMemSize(_zlib_TStream* stream, void* inputHandle,
                                         hl_read_fn readInput, uint32_t uncompressSize,
                                         uint64_t* memSize);
/* memory: memSize bytes of pool followed by cacheSize bytes of input cache. */
hl_bool _zlib_TStream_open(_zlib_TStream* stream, hl_byte* memory, uint64_t memSize,
                           uint32_t cacheSize);
/* Body reader: delivers exactly *count bytes (after the cap at uncompressSize) or fails. */
hl_bool _zlib_TStream_read(void* stream, hl_byte* out, uint32_t* count);
/* True unless inflateEnd failed; does nothing when the inflater was never initialised. */
hl_bool _zlib_TStream_close(_zlib_TStream* stream);

#ifdef __cplusplus
}
#endif

#endif
