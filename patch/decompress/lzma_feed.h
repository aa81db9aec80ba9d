/* What the LZMA and LZMA2 plugins share: the allocator pair their decoder calls back, the raw
 * reader, the pool that serves the decoder's memory, the input cache, and the read loop that
 * feeds the decoder from the cache and hands its dictionary out to the caller. */
#ifndef LZMA_FEED_H
#define LZMA_FEED_H

#include <stddef.h>

#include "lzma/LzmaDec.h"
#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Starts every LZMA plugin record, so that the decoder's allocator pointer is the record's
 * address too. */
typedef struct hl_TLzmaFeed {
  ISzAlloc allocator; /* first, so the decoder's allocator pointer is the feed's address */
  void* inputHandle;
  hl_read_fn readInput;
  uint32_t outLeft; /* decompressed bytes still allowed */
  hl_byte* poolCursor;
  uint64_t poolLeft; /* size step: running total asked; afterwards bytes left in the pool */
  hl_byte* cacheBuf;
  uint32_t cacheSize;
  size_t dicCopied; /* decoder dictionary index up to which bytes were handed out */
  size_t cachePos;  /* next cache byte not yet given to the decoder */
} hl_TLzmaFeed;

/* The decode-to-dictionary step of the decoder that `decoder` points at, up to dicLimit. */
typedef SRes (*hl_lzma_decode_fn)(void* decoder, SizeT dicLimit, const Byte* src, SizeT* srcLen,
                                  ELzmaStatus* status);

/* For the size step, in a zeroed record: the raw reader, the cap, and the counting allocator
 * with poolLeft at 0 for the dry run of the decoder's allocation step. */
void hl_lzma_feed_start(hl_TLzmaFeed* feed, void* inputHandle, hl_read_fn readInput,
                        uint32_t uncompressSize);
/* Reads exactly size prefix bytes through the raw reader; false when fewer were delivered. */
hl_bool hl_lzma_feed_read_prefix(hl_TLzmaFeed* feed, hl_byte* prefix, uint32_t size);
/* Ends the size step after the dry run that returned res: false when it refused or asked for
 * nothing, otherwise the memory it asked for. */
hl_bool hl_lzma_feed_sized(const hl_TLzmaFeed* feed, SRes res, uint64_t* memSize);
/* For the open step: memSize bytes of pool at memory, then cacheSize bytes of input cache, and
 * the pool allocator for the real allocation. */
void hl_lzma_feed_open(hl_TLzmaFeed* feed, hl_byte* memory, uint64_t memSize, uint32_t cacheSize);
/* Body reader over the decoder whose dictionary is dic: delivers exactly *count bytes (after the
 * cap at the uncompressed size) or fails. */
hl_bool hl_lzma_feed_read(hl_TLzmaFeed* feed, CLzmaDec* dic, void* decoder,
                          hl_lzma_decode_fn decode, hl_byte* out, uint32_t* count);

#ifdef __cplusplus
}
#endif

#endif
