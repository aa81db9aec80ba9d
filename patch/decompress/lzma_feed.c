/* The LZMA plugins' allocators and read loop: decoded bytes are copied out of the decoder's own
 * dictionary, which doubles as the output window. */
#include "patch/decompress/lzma_feed.h"

#include <string.h>

#include "patch/decompress/pool_alloc.h"

/* Any non-null address: the dry run only sums the sizes, and the allocation steps never write
 * into what they were given. */
#define HL_LZMA_FEED_DRY_RUN_ADDRESS ((void*)1)

static void* hl_lzma_feed_count_alloc(void* allocator, size_t size) {
  hl_TLzmaFeed* feed = (hl_TLzmaFeed*)allocator;
  feed->poolLeft += size;
  return HL_LZMA_FEED_DRY_RUN_ADDRESS;
}

static void* hl_lzma_feed_pool_alloc(void* allocator, size_t size) {
  hl_TLzmaFeed* feed = (hl_TLzmaFeed*)allocator;
  return hl_pool_take(&feed->poolCursor, &feed->poolLeft, size);
}

/* The whole block is freed at once by the driver. */
static void hl_lzma_feed_pool_free(void* allocator, void* address) {
  (void)allocator;
  (void)address;
}

void hl_lzma_feed_start(hl_TLzmaFeed* feed, void* inputHandle, hl_read_fn readInput,
                        uint32_t uncompressSize) {
  feed->allocator.Alloc = hl_lzma_feed_count_alloc;
  feed->allocator.Free = hl_lzma_feed_pool_free;
  feed->inputHandle = inputHandle;
  feed->readInput = readInput;
  feed->outLeft = uncompressSize;
  feed->poolLeft = 0;
}

hl_bool hl_lzma_feed_read_prefix(hl_TLzmaFeed* feed, hl_byte* prefix, uint32_t size) {
  uint32_t got = size;
  return feed->readInput(feed->inputHandle, prefix, &got) && got == size;
}

hl_bool hl_lzma_feed_sized(const hl_TLzmaFeed* feed, SRes res, uint64_t* memSize) {
  if (res != SZ_OK || feed->poolLeft == 0) return hl_FALSE;
  *memSize = feed->poolLeft;
  return hl_TRUE;
}

void hl_lzma_feed_open(hl_TLzmaFeed* feed, hl_byte* memory, uint64_t memSize, uint32_t cacheSize) {
  feed->poolCursor = memory;
  feed->poolLeft = memSize;
  feed->cacheBuf = memory + memSize;
  feed->cacheSize = cacheSize;
  feed->cachePos = cacheSize;
  feed->allocator.Alloc = hl_lzma_feed_pool_alloc;
}

hl_bool hl_lzma_feed_read(hl_TLzmaFeed* feed, CLzmaDec* dic, void* decoder,
                          hl_lzma_decode_fn decode, hl_byte* out, uint32_t* count) {
  hl_byte* p = out;
  hl_byte* end;
  hl_bool shortReadSeen = hl_FALSE;

  if (*count > feed->outLeft) *count = feed->outLeft;
  feed->outLeft -= *count;
  if (*count == 0) return hl_TRUE;
  end = out + *count;

  while (p < end) {
    if (dic->dicPos != feed->dicCopied) {
      size_t k = dic->dicPos - feed->dicCopied;
      if (k > (size_t)(end - p)) k = (size_t)(end - p);
      memcpy(p, dic->dic + feed->dicCopied, k);
      p += k;
      feed->dicCopied += k;
      if (dic->dicPos == dic->dicBufSize && dic->dicPos == feed->dicCopied) {
        dic->dicPos = 0; /* full and handed out: decoding starts again at the front */
        feed->dicCopied = 0;
      }
    } else {
      SizeT inLen;
      SizeT dicBefore = dic->dicPos;
      ELzmaStatus status;
      if (feed->cachePos == feed->cacheSize && !shortReadSeen) {
        uint32_t got = feed->cacheSize;
        if (!feed->readInput(feed->inputHandle, feed->cacheBuf, &got)) return hl_FALSE;
        if (got > feed->cacheSize) got = feed->cacheSize;
        if (got == feed->cacheSize) {
          feed->cachePos = 0;
        } else {
          /* Keep the undecoded bytes running up to the cache's end. */
          feed->cachePos = feed->cacheSize - got;
          memmove(feed->cacheBuf + feed->cachePos, feed->cacheBuf, got);
          shortReadSeen = hl_TRUE;
        }
      }
      inLen = feed->cacheSize - feed->cachePos;
      if (decode(decoder, dic->dicBufSize, feed->cacheBuf + feed->cachePos, &inLen, &status) !=
          SZ_OK)
        return hl_FALSE;
      if (inLen == 0 && dic->dicPos == dicBefore) return hl_FALSE; /* no progress */
      feed->cachePos += inLen;
    }
  }
  return hl_TRUE;
}
