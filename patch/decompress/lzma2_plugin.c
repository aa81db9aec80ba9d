/* LZMA2 plugin: the chunk decoder decodes into LzmaDec's dictionary, which is copied out to the
 * caller. */
#include "patch/decompress/lzma2_plugin.h"

#include <string.h>

static SRes hl_lzma2_decode(void* decoder, SizeT dicLimit, const Byte* src, SizeT* srcLen,
                            ELzmaStatus* status) {
  return hl_lzma2_dec_decode_to_dic((hl_TLzma2Dec*)decoder, dicLimit, src, srcLen, status);
}

hl_bool _lzma2_TStream_getReservedMemSize(_lzma2_TStream* stream, void* inputHandle,
                                          hl_read_fn readInput, uint32_t uncompressSize,
                                          uint64_t* memSize) {
  SRes res;

  memset(stream, 0, sizeof(*stream));
  hl_lzma_feed_start(&stream->feed, inputHandle, readInput, uncompressSize);

  if (!hl_lzma_feed_read_prefix(&stream->feed, &stream->dictProp, 1)) return hl_FALSE;

  res = hl_lzma2_dec_allocate(&stream->decoder, stream->dictProp, &stream->feed.allocator);
  /* Forget the dummy addresses of the dry run. */
  memset(&stream->decoder, 0, sizeof(stream->decoder));
  return hl_lzma_feed_sized(&stream->feed, res, memSize);
}

hl_bool _lzma2_TStream_open(_lzma2_TStream* stream, hl_byte* memory, uint64_t memSize,
                            uint32_t cacheSize) {
  hl_lzma_feed_open(&stream->feed, memory, memSize, cacheSize);
  if (hl_lzma2_dec_allocate(&stream->decoder, stream->dictProp, &stream->feed.allocator) != SZ_OK)
    return hl_FALSE;
  hl_lzma2_dec_init(&stream->decoder);
  return hl_TRUE;
}

hl_bool _lzma2_TStream_read(void* handle, hl_byte* out, uint32_t* count) {
  _lzma2_TStream* stream = (_lzma2_TStream*)handle;
  return hl_lzma_feed_read(&stream->feed, &stream->decoder.decoder, &stream->decoder,
                           hl_lzma2_decode, out, count);
}

void _lzma2_TStream_close(_lzma2_TStream* stream) {
  hl_lzma2_dec_free(&stream->decoder, &stream->feed.allocator);
}
