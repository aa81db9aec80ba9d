/* LZMA2 plugin: liblzma's raw LZMA2 decoder with every byte of its memory served from the pool. */
#include "patch/decompress/lzma2_plugin.h"

#include <stddef.h>
#include <string.h>

#include "patch/decompress/pool_alloc.h"

#define LZMA2_DICT_PROP_MAX 40u
/* liblzma allocates structures with pointer and 64-bit members, so each piece of the pool is
 * aligned; the block itself comes from malloc and is aligned already. */
#define LZMA2_POOL_ALIGN 16u
/* Holds what liblzma allocates for the smallest dictionary (about 37 KiB with liblzma 5.4). */
#define LZMA2_PROBE_SCRATCH_SIZE 65536u
#define LZMA2_PROBE_DICT_PROP 0u

static uint32_t _lzma2_dict_size(uint8_t dictProp) {
  if (dictProp == LZMA2_DICT_PROP_MAX) return 0xFFFFFFFFu;
  return (2u | (dictProp & 1u)) << (dictProp / 2u + 11u);
}

static void _lzma2_filters(uint8_t dictProp, lzma_options_lzma* options, lzma_filter filters[2]) {
  memset(options, 0, sizeof(*options));
  options->dict_size = _lzma2_dict_size(dictProp);
  options->lc = LZMA_LC_DEFAULT;
  options->lp = LZMA_LP_DEFAULT;
  options->pb = LZMA_PB_DEFAULT;
  filters[0].id = LZMA_FILTER_LZMA2;
  filters[0].options = options;
  filters[1].id = LZMA_VLI_UNKNOWN;
  filters[1].options = NULL;
}

static uint64_t _lzma2_align(uint64_t size) {
  return (size + (LZMA2_POOL_ALIGN - 1u)) & ~(uint64_t)(LZMA2_POOL_ALIGN - 1u);
}

static void* _lzma2_pool_alloc(void* opaque, size_t nmemb, size_t size) {
  _lzma2_TStream* stream = (_lzma2_TStream*)opaque;
  uint64_t total = (uint64_t)nmemb * (uint64_t)size;
  if (size != 0 && total / size != nmemb) return NULL;
  return hl_pool_take(&stream->poolCursor, &stream->poolLeft, _lzma2_align(total));
}

/* The whole block is freed at once by the driver. */
static void _lzma2_pool_free(void* opaque, void* address) {
  (void)opaque;
  (void)address;
}

/* liblzma writes into what it allocates while it initialises, so a dry run over a dummy address
 * is not possible. Instead the decoder is initialised once for the smallest dictionary over a
 * scratch buffer on the stack, with the pool allocator counting what it hands out. Everything
 * but the dictionary is independent of the dictionary size, so the need for any property is
 * that figure with the smallest dictionary swapped for the wanted one. 0 when the probe fails. */
static uint64_t _lzma2_memory_need(uint8_t dictProp) {
  union {
    hl_byte bytes[LZMA2_PROBE_SCRATCH_SIZE];
    max_align_t alignment;
  } scratch;
  _lzma2_TStream probe;
  lzma_options_lzma options;
  lzma_filter filters[2];
  lzma_stream decoder = LZMA_STREAM_INIT;
  uint64_t used;
  uint64_t smallestDict = _lzma2_align(_lzma2_dict_size(LZMA2_PROBE_DICT_PROP));

  memset(&probe, 0, sizeof(probe));
  probe.allocator.alloc = _lzma2_pool_alloc;
  probe.allocator.free = _lzma2_pool_free;
  probe.allocator.opaque = &probe;
  probe.poolCursor = scratch.bytes;
  probe.poolLeft = sizeof(scratch.bytes);
  decoder.allocator = &probe.allocator;
  _lzma2_filters(LZMA2_PROBE_DICT_PROP, &options, filters);
  if (lzma_raw_decoder(&decoder, filters) != LZMA_OK) {
    lzma_end(&decoder);
    return 0;
  }
  used = sizeof(scratch.bytes) - probe.poolLeft;
  lzma_end(&decoder);
  if (used <= smallestDict) return 0;
  return used - smallestDict + _lzma2_align(_lzma2_dict_size(dictProp));
}

hl_bool _lzma2_TStream_getReservedMemSize(_lzma2_TStream* stream, void* inputHandle, hl_read_fn readInput,
                                          uint32_t uncompressSize, uint64_t* memSize) {
  uint32_t got = 1;
  uint64_t need;

  memset(stream, 0, sizeof(*stream));
  stream->allocator.alloc = _lzma2_pool_alloc;
  stream->allocator.free = _lzma2_pool_free;
  stream->allocator.opaque = stream;
  stream->inputHandle = inputHandle;
  stream->readInput = readInput;
  stream->outLeft = uncompressSize;

  if (!readInput(inputHandle, &stream->dictProp, &got) || got != 1) return hl_FALSE;
  if (stream->dictProp > LZMA2_DICT_PROP_MAX) return hl_FALSE;
  need = _lzma2_memory_need(stream->dictProp);
  if (need == 0) return hl_FALSE;
  *memSize = need;
  return hl_TRUE;
}

hl_bool _lzma2_TStream_open(_lzma2_TStream* stream, hl_byte* memory, uint64_t memSize, uint32_t cacheSize) {
  lzma_options_lzma options;
  lzma_filter filters[2];
  stream->poolCursor = memory;
  stream->poolLeft = memSize;
  stream->cacheBuf = memory + memSize;
  stream->cacheSize = cacheSize;
  stream->decoder.allocator = &stream->allocator;
  stream->decoder.next_in = NULL;
  stream->decoder.avail_in = 0;
  _lzma2_filters(stream->dictProp, &options, filters);
  return lzma_raw_decoder(&stream->decoder, filters) == LZMA_OK;
}

hl_bool _lzma2_TStream_read(void* handle, hl_byte* out, uint32_t* count) {
  _lzma2_TStream* stream = (_lzma2_TStream*)handle;
  lzma_stream* strm = &stream->decoder;

  if (*count > stream->outLeft) *count = stream->outLeft;
  stream->outLeft -= *count;
  if (*count == 0) return hl_TRUE;
  strm->next_out = out;
  strm->avail_out = *count;

  for (;;) {
    size_t inBefore, outBefore;
    lzma_ret ret;
    if (strm->avail_in == 0) {
      uint32_t got = stream->cacheSize;
      if (!stream->readInput(stream->inputHandle, stream->cacheBuf, &got)) return hl_FALSE;
      if (got > stream->cacheSize) got = stream->cacheSize;
      strm->next_in = stream->cacheBuf;
      strm->avail_in = got;
    }
    inBefore = strm->avail_in;
    outBefore = strm->avail_out;
    ret = lzma_code(strm, LZMA_RUN);
    if (ret == LZMA_STREAM_END) {
      if (strm->avail_out != 0) return hl_FALSE; /* the stream ended before the request */
    } else if (ret != LZMA_OK) {
      return hl_FALSE;
    } else if (strm->avail_in == inBefore && strm->avail_out == outBefore) {
      return hl_FALSE; /* no progress: the input has run out */
    }
    if (strm->avail_out == 0) return hl_TRUE;
  }
}

void _lzma2_TStream_close(_lzma2_TStream* stream) {
  /* Does nothing when the decoder was never initialised; releases go to the do-nothing free. */
  lzma_end(&stream->decoder);
}
