/* LZMA plugin: LzmaDec decodes into its own dictionary, which is copied out to the caller. */
#include "patch/decompress/lzma_plugin.h"

#include <string.h>

#include "patch/decompress/pool_alloc.h"

/* Any non-null address: the dry run only sums the sizes, and LzmaDec_Allocate never writes
 * into what it was given. */
#define HL_LZMA_DRY_RUN_ADDRESS ((void*)1)

static void* hl_lzma_count_alloc(void* allocator, size_t size) {
  _lzma_TStream* stream = (_lzma_TStream*)allocator;
  stream->poolLeft += size;
  return HL_LZMA_DRY_RUN_ADDRESS;
}

static void* hl_lzma_pool_alloc(void* allocator, size_t size) {
  _lzma_TStream* stream = (_lzma_TStream*)allocator;
  return hl_pool_take(&stream->poolCursor, &stream->poolLeft, size);
}

/* The whole block is freed at once by the driver. */
static void hl_lzma_pool_free(void* allocator, void* address) {
  (void)allocator;
  (void)address;
}

hl_bool _lzma_TStream_getReservedMemSize(_lzma_TStream* stream, void* inputHandle, hl_read_fn readInput,
                                         uint32_t uncompressSize, uint64_t* memSize) {
  uint32_t got = 1;
  SRes res;

  memset(stream, 0, sizeof(*stream));
  stream->allocator.Free = hl_lzma_pool_free;
  stream->inputHandle = inputHandle;
  stream->readInput = readInput;
  stream->outLeft = uncompressSize;

  if (!readInput(inputHandle, &stream->propsSize, &got) || got != 1) return hl_FALSE;
  if (stream->propsSize < 1 || stream->propsSize > LZMA_PLUGIN_PROPS_MAX) return hl_FALSE;
  got = stream->propsSize;
  if (!readInput(inputHandle, stream->props, &got) || got != stream->propsSize) return hl_FALSE;

  stream->allocator.Alloc = hl_lzma_count_alloc;
  stream->poolLeft = 0;
  res = LzmaDec_Allocate(&stream->decoder, stream->props, stream->propsSize, &stream->allocator);
  /* Forget the dummy addresses of the dry run. */
  memset(&stream->decoder, 0, sizeof(stream->decoder));
  if (res != SZ_OK || stream->poolLeft == 0) return hl_FALSE;
  *memSize = stream->poolLeft;
  return hl_TRUE;
}

hl_bool _lzma_TStream_open(_lzma_TStream* stream, hl_byte* memory, uint64_t memSize, uint32_t cacheSize) {
  stream->poolCursor = memory;
  stream->poolLeft = memSize;
  stream->cacheBuf = memory + memSize;
  stream->cacheSize = cacheSize;
  stream->cachePos = cacheSize;
  stream->allocator.Alloc = hl_lzma_pool_alloc;
  if (LzmaDec_Allocate(&stream->decoder, stream->props, stream->propsSize, &stream->allocator) != SZ_OK)
    return hl_FALSE;
  LzmaDec_Init(&stream->decoder);
  return hl_TRUE;
}

hl_bool _lzma_TStream_read(void* handle, hl_byte* out, uint32_t* count) {
  _lzma_TStream* stream = (_lzma_TStream*)handle;
  CLzmaDec* dec = &stream->decoder;
  hl_byte* p = out;
  hl_byte* end;
  hl_bool shortReadSeen = hl_FALSE;

  if (*count > stream->outLeft) *count = stream->outLeft;
  stream->outLeft -= *count;
  if (*count == 0) return hl_TRUE;
  end = out + *count;

  while (p < end) {
    if (dec->dicPos != stream->dicCopied) {
      size_t k = dec->dicPos - stream->dicCopied;
      if (k > (size_t)(end - p)) k = (size_t)(end - p);
      memcpy(p, dec->dic + stream->dicCopied, k);
      p += k;
      stream->dicCopied += k;
      if (dec->dicPos == dec->dicBufSize && dec->dicPos == stream->dicCopied) {
        dec->dicPos = 0; /* full and handed out: decoding starts again at the front */
        stream->dicCopied = 0;
      }
    } else {
      SizeT inLen;
      SizeT dicBefore = dec->dicPos;
      ELzmaStatus status;
      if (stream->cachePos == stream->cacheSize && !shortReadSeen) {
        uint32_t got = stream->cacheSize;
        if (!stream->readInput(stream->inputHandle, stream->cacheBuf, &got)) return hl_FALSE;
        if (got > stream->cacheSize) got = stream->cacheSize;
        if (got == stream->cacheSize) {
          stream->cachePos = 0;
        } else {
          /* Keep the undecoded bytes running up to the cache's end. */
          stream->cachePos = stream->cacheSize - got;
          memmove(stream->cacheBuf + stream->cachePos, stream->cacheBuf, got);
          shortReadSeen = hl_TRUE;
        }
      }
      inLen = stream->cacheSize - stream->cachePos;
      if (LzmaDec_DecodeToDic(dec, dec->dicBufSize, stream->cacheBuf + stream->cachePos, &inLen,
                              LZMA_FINISH_ANY, &status) != SZ_OK)
        return hl_FALSE;
      if (inLen == 0 && dec->dicPos == dicBefore) return hl_FALSE; /* no progress */
      stream->cachePos += inLen;
    }
  }
  return hl_TRUE;
}

void _lzma_TStream_close(_lzma_TStream* stream) {
  LzmaDec_Free(&stream->decoder, &stream->allocator);
}
