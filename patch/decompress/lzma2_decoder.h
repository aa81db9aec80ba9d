/* LZMA2 chunk decoder over LzmaDec: parses the chunk headers itself, copies uncompressed chunks
 * into LzmaDec's dictionary and lets LzmaDec decode the range-coded chunks, each held to its own
 * packed and unpacked size. Used like LzmaDec's dictionary interface: allocate, init, then
 * decode into the dictionary and hand out from it. */
#ifndef LZMA2_DECODER_H
#define LZMA2_DECODER_H

#include <stdint.h>

#include "lzma/LzmaDec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The largest dictionary property; it names a dictionary of 2^32 - 1 bytes. */
#define HL_LZMA2_DICT_PROP_MAX 40u
/* LZMA2 allows lc + lp up to this, so probability tables for it serve every chunk. */
#define HL_LZMA2_LCLP_MAX 4u

typedef struct hl_TLzma2Dec {
  CLzmaDec decoder;       /* dictionary, probabilities, range coder and LZMA state */
  uint32_t chunkUnpacked; /* bytes the current chunk has still to produce */
  uint32_t chunkPacked;   /* packed bytes of the current LZMA chunk not yet given to LzmaDec */
  uint8_t step;           /* where in the stream the decoder stands (lzma2_decoder.c) */
  uint8_t control;        /* control byte of the current chunk */
  uint8_t needDicReset;   /* nothing but a dictionary reset may come next */
  uint8_t needProps;      /* the next LZMA chunk must bring properties */
} hl_TLzma2Dec;

/* Dictionary size named by a dictionary property (at most HL_LZMA2_DICT_PROP_MAX). */
uint32_t hl_lzma2_dict_size(uint8_t dictProp);

/* Reserves the probability tables (for lc + lp = 4) and the dictionary through alloc; it writes
 * nothing into what it is given. SZ_ERROR_UNSUPPORTED for a property above 40, SZ_ERROR_MEM when
 * alloc fails. */
SRes hl_lzma2_dec_allocate(hl_TLzma2Dec* p, uint8_t dictProp, ISzAlloc* alloc);
/* Makes the decoder ready for a new stream; the dictionary restarts at its front. */
void hl_lzma2_dec_init(hl_TLzma2Dec* p);
/* Decodes from src (*srcLen bytes; on return the count consumed) into the dictionary up to
 * dicLimit (at most the dictionary buffer size). Status: LZMA_STATUS_FINISHED_WITH_MARK after the
 * end byte, LZMA_STATUS_NOT_FINISHED when dicLimit was reached, LZMA_STATUS_NEEDS_MORE_INPUT when
 * the input ran out inside a chunk, LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK when it ran out between
 * two chunks. SZ_ERROR_DATA for a corrupt stream, and again on every later call. */
SRes hl_lzma2_dec_decode_to_dic(hl_TLzma2Dec* p, SizeT dicLimit, const Byte* src, SizeT* srcLen,
                                ELzmaStatus* status);
/* Hands the tables and the dictionary back to alloc and clears the pointers. */
void hl_lzma2_dec_free(hl_TLzma2Dec* p, ISzAlloc* alloc);

#ifdef __cplusplus
}
#endif

#endif
