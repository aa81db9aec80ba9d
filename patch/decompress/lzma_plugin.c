/* LZMA plugin: LzmaDec decodes into its own dictionary, which is copied out to the caller. */
#include "patch/decompress/lzma_plugin.h"

#include <string.h>

static SRes hl_lzma_decode(void* decoder, SizeT dicLimit, const Byte* src, SizeT* srcLen,
                           ELzmaStatus* status) {
  return LzmaDec_DecodeToDic((CLzmaDec*)decoder, dicLimit, src, srcLen, LZMA_FINISH_ANY, status);
}

hl_bool _lzma_TStream_getReservedMemSize(_lzma_TStream* stream, void* inputHandle,
                                         hl_read_fn readInput, uint32_t uncompressSize,
                                         uint64_t* memSize) {
  SRes res;

  memset(stream, 0, sizeof(*stream));
  hl_lzma_feed_start(&stream->feed, inputHandle, readInput, uncompressSize);

  if (!hl_lzma_feed_read_prefix(&stream->feed, &stream->propsSize, 1)) return hl_FALSE;
  if (stream->propsSize < 1 || stream->propsSize > LZMA_PLUGIN_PROPS_MAX) return hl_FALSE;
  if (!hl_lzma_feed_read_prefix(&stream->feed, stream->props, stream->propsSize)) return hl_FALSE;

  res =
      LzmaDec_Allocate(&stream->decoder, stream->props, stream->propsSize, &stream->feed.allocator);
  /* Forget the dummy addresses of the dry run. */
  memset(&stream->decoder, 0, sizeof(stream->decoder));
  return hl_lzma_feed_sized(&stream->feed, res, memSize);
}

hl_bool _lzma_TStream_open(_lzma_TStream* stream, hl_byte* memory, uint64_t memSize,
                           uint32_t cacheSize) {
  hl_lzma_feed_open(&stream->feed, memory, memSize, cacheSize);
  if (LzmaDec_Allocate(&stream->decoder, stream->props, stream->propsSize,
                       &stream->feed.allocator) != SZ_OK)
    return hl_FALSE;
  LzmaDec_Init(&stream->decoder);
  return hl_TRUE;
}

hl_bool _lzma_TStream_read(void* handle, hl_byte* out, uint32_t* count) {
  _lzma_TStream* stream = (_lzma_TStream*)handle;
  return hl_lzma_feed_read(&stream->feed, &stream->decoder, &stream->decoder, hl_lzma_decode, out,
                           count);
}

void _lzma_TStream_close(_lzma_TStream* stream) {
  LzmaDec_Free(&stream->decoder, &stream->feed.allocator);
}
