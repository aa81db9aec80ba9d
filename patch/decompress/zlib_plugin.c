/* zlib plugin: inflate with every byte of its memory served from the driver's block. */
#include "patch/decompress/zlib_plugin.h"

#include <stddef.h>
#include <string.h>

#include "patch/decompress/pool_alloc.h"

/* Big enough for the inflater's state on any zlib we build against; only used to measure it. */
#define HL_ZLIB_STATE_SCRATCH_SIZE 16384u

static voidpf hl_zlib_pool_alloc(voidpf opaque, uInt items, uInt size) {
  _zlib_TStream* stream = (_zlib_TStream*)opaque;
  return hl_pool_take(&stream->poolCursor, &stream->poolLeft, (uint64_t)items * (uint64_t)size);
}

/* The whole block is freed at once by the driver. */
static void hl_zlib_pool_free(voidpf opaque, voidpf address) {
  (void)opaque;
  (void)address;
}

/* Measures the state that this zlib build asks for at initialisation, by initialising once
 * over a scratch buffer on the stack; 0 when that fails. The window is asked for later, by
 * inflate, so it is not part of the figure. The state has pointer and 64-bit members, so the
 * scratch buffer is aligned as the driver's malloc block is. */
static uint64_t hl_zlib_inflate_state_size(void) {
  union {
    hl_byte bytes[HL_ZLIB_STATE_SCRATCH_SIZE];
    max_align_t alignment;
  } scratch;
  _zlib_TStream probe;
  uint64_t used;
  memset(&probe, 0, sizeof(probe));
  probe.poolCursor = scratch.bytes;
  probe.poolLeft = sizeof(scratch.bytes);
  probe.strm.zalloc = hl_zlib_pool_alloc;
  probe.strm.zfree = hl_zlib_pool_free;
  probe.strm.opaque = &probe;
  if (inflateInit2_(&probe.strm, MAX_WBITS, ZLIB_VERSION, (int)sizeof(z_stream)) != Z_OK) return 0;
  used = sizeof(scratch.bytes) - probe.poolLeft;
  inflateEnd(&probe.strm);
  return used;
}

hl_bool _zlib_TStream_getReservedMemSize(_zlib_TStream* stream, void* inputHandle,
                                         hl_read_fn readInput, uint32_t uncompressSize,
                                         uint64_t* memSize) {
  hl_byte prefix = 0;
  uint32_t got = 1;
  int windowBits;
  int w;
  uint64_t stateSize;

  memset(stream, 0, sizeof(*stream));
  stream->inputHandle = inputHandle;
  stream->readInput = readInput;
  stream->outLeft = uncompressSize;
  stream->strm.zalloc = hl_zlib_pool_alloc;
  stream->strm.zfree = hl_zlib_pool_free;
  stream->strm.opaque = stream;

  if (!readInput(inputHandle, &prefix, &got) || got != 1) return hl_FALSE;
  windowBits = (int8_t)prefix;
  w = windowBits < 0 ? -windowBits : windowBits;
  if (w > 15) w -= 16;
  if (w < 9 || w > 15) return hl_FALSE;
  stateSize = hl_zlib_inflate_state_size();
  if (stateSize == 0) return hl_FALSE;
  stream->windowBits = (int8_t)windowBits;
  *memSize = ((uint64_t)1 << w) + stateSize;
  return hl_TRUE;
}

hl_bool _zlib_TStream_open(_zlib_TStream* stream, hl_byte* memory, uint64_t memSize,
                           uint32_t cacheSize) {
  stream->poolCursor = memory;
  stream->poolLeft = memSize;
  stream->cacheBuf = memory + memSize;
  stream->cacheSize = cacheSize;
  return inflateInit2_(&stream->strm, stream->windowBits, ZLIB_VERSION, (int)sizeof(z_stream)) ==
         Z_OK;
}

hl_bool _zlib_TStream_read(void* handle, hl_byte* out, uint32_t* count) {
  _zlib_TStream* stream = (_zlib_TStream*)handle;
  z_stream* strm = &stream->strm;

  if (*count > stream->outLeft) *count = stream->outLeft;
  stream->outLeft -= *count;
  strm->next_out = out;
  strm->avail_out = *count;
  if (*count == 0) return hl_TRUE;

  for (;;) {
    uInt inBefore, outBefore;
    int ret;
    if (strm->avail_in == 0) {
      uint32_t got = stream->cacheSize;
      if (!stream->readInput(stream->inputHandle, stream->cacheBuf, &got)) return hl_FALSE;
      if (got > stream->cacheSize) got = stream->cacheSize;
      strm->next_in = stream->cacheBuf;
      strm->avail_in = got;
    }
    inBefore = strm->avail_in;
    outBefore = strm->avail_out;
    ret = inflate(strm, Z_NO_FLUSH);
    if (ret == Z_STREAM_END) {
      if (strm->avail_out != 0) return hl_FALSE; /* the stream ended before the request */
    } else if (ret != Z_OK) {
      return hl_FALSE;
    } else if (strm->avail_in == inBefore && strm->avail_out == outBefore) {
      return hl_FALSE; /* no progress: the input has run out */
    }
    if (strm->avail_out == 0) return hl_TRUE;
  }
}

hl_bool _zlib_TStream_close(_zlib_TStream* stream) {
  if (stream->strm.state == Z_NULL) return hl_TRUE;
  return inflateEnd(&stream->strm) == Z_OK;
}
