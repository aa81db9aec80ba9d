/* LZMA2 plugin: liblzma's raw LZMA2 decoder with every byte of its memory served from the pool. */
#include "patch/decompress/lzma2_plugin.h"

#include <string.h>

#include "patch/decompress/pool_alloc.h"

#define LZMA2_DICT_PROP_MAX 40u
/* liblzma allocates structures with pointer and 64-bit members, so each piece of the pool is
 * aligned; the block itself comes from malloc and is aligned already. */
#define LZMA2_POOL_ALIGN 16u
/* Room for the alignment padding of liblzma's few allocations on top of its own memory bound. */
#define LZMA2_ALIGN_SLACK (32u * LZMA2_POOL_ALIGN)

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

static void* _lzma2_pool_alloc(void* opaque, size_t nmemb, size_t size) {
  _lzma2_TStream* stream = (_lzma2_TStream*)opaque;
  uint64_t total = (uint64_t)nmemb * (uint64_t)size;
  if (size != 0 && total / size != nmemb) return NULL;
  total = (total + (LZMA2_POOL_ALIGN - 1u)) & ~(uint64_t)(LZMA2_POOL_ALIGN - 1u);
  return hl_pool_take(&stream->poolCursor, &stream->poolLeft, total);
}

/* The whole block is freed at once by the driver. */
static void _lzma2_pool_free(void* opaque, void* address) {
  (void)opaque;
  (void)address;
}

hl_bool _lzma2_TStream_getReservedMemSize(_lzma2_TStream* stream, void* inputHandle, hl_read_fn readInput,
                                          uint32_t uncompressSize, uint64_t* memSize) {
  uint32_t got = 1;
  lzma_options_lzma options;
  lzma_filter filters[2];
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
  /* liblzma writes into what it allocates while it initialises, so no dry run over a dummy
   * address: its own bound for these options is the figure. */
  _lzma2_filters(stream->dictProp, &options, filters);
  need = lzma_raw_decoder_memusage(filters);
  if (need == 0 || need == UINT64_MAX) return hl_FALSE;
  *memSize = need + LZMA2_ALIGN_SLACK;
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
  if (stream->decoder.allocator == NULL) stream->decoder.allocator = &stream->allocator;
  lzma_end(&stream->decoder);
}
