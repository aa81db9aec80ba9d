/* tuz: a small LZ77 stream with a bounded ring dictionary, decoded in output pieces of any size. */
#ifndef TUZ_DECODER_H
#define TUZ_DECODER_H

#include "patch/hl_result.h"
#include "patch/hl_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tuz_TStream {
  uint32_t cacheBegin; /* next unread byte in the input cache */
  uint32_t cacheEnd;   /* bytes delivered by the last refill */
  hl_byte* cacheBuf;
  void* inputHandle;
  hl_read_fn readInput;
  uint32_t dictWritePos; /* ring index of the next byte to enter; dictSize reads as 0 */
  uint32_t dictSize;
  hl_byte* dictBuf;
  uint32_t srcDictPos; /* match source counted from the oldest ring byte; dictSize: in this call's
                          output */
  uint32_t srcOutPos;  /* match source in this call's output */
  uint32_t lastDistance;
  uint32_t matchLeft;
  uint32_t literalLeft;
  uint32_t bitBuf; /* buffered flag bits, next bit lowest */
  uint32_t bitCount;
  uint32_t afterLiteral; /* 1 when the last token was a literal or a literal block */
} tuz_TStream;

/* Reads the 4-byte little-endian dictionary size; 0 when the reader fails or delivers fewer bytes.
 */
uint32_t tuz_TStream_read_dict_size(void* inputHandle, hl_read_fn readInput);

/* memory holds dictSize bytes of dictionary followed by cacheSize bytes of input cache.
 * Returns TUZ_OK, TUZ_ERR_DICT_SIZE or TUZ_ERR_CACHE_SIZE. */
int tuz_TStream_open(tuz_TStream* stream, void* inputHandle, hl_read_fn readInput, hl_byte* memory,
                     uint32_t dictSize, uint32_t cacheSize);

/* Writes up to *count bytes to out. TUZ_OK: all *count written; TUZ_STREAM_END: *count set to the
 * bytes written before the end code; any other tuz_result is an error and leaves *count alone. */
int tuz_TStream_decode(tuz_TStream* stream, hl_byte* out, uint32_t* count);

/* Body reader over tuz_TStream_decode (stream is a tuz_TStream*). */
hl_bool tuz_TStream_read(void* stream, hl_byte* out, uint32_t* count);

#ifdef __cplusplus
}
#endif

#endif
