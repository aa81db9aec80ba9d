/* LZMA2 chunk layer over LzmaDec.
 *
 * A stream is a sequence of chunks, each opened by a control byte:
 *   0x00         end of stream
 *   0x01, 0x02   uncompressed chunk (0x01 resets the dictionary first): 2 bytes size - 1, the data
 *   0x80..0xFF   LZMA chunk: bits 0-4 and 2 bytes give unpacked size - 1, 2 bytes packed size - 1,
 *                a properties byte when bits 5-6 (the reset level) are 2 or 3, the packed data
 * Every LZMA chunk starts a fresh range decoder; its reset level says what is reset before it:
 * 0 nothing, 1 the state, 2 the state with new properties, 3 the dictionary too. */
#include "patch/decompress/lzma2_decoder.h"

#include <string.h>

/* Defined in LzmaDec.c, not declared in LzmaDec.h. LZMA2 resets the dictionary and the state
 * apart, chunk by chunk; the header's only reset, LzmaDec_Init, resets both and also moves dicPos
 * back to the front, under bytes not yet handed out. */
void LzmaDec_InitDicAndState(CLzmaDec* p, Bool initDic, Bool initState);

enum {
  LZMA2_STEP_CONTROL,
  LZMA2_STEP_UNPACKED_HIGH, /* bits 8-15 of unpacked size - 1 */
  LZMA2_STEP_UNPACKED_LOW,
  LZMA2_STEP_PACKED_HIGH,
  LZMA2_STEP_PACKED_LOW,
  LZMA2_STEP_PROPS,
  LZMA2_STEP_LZMA_DATA,
  LZMA2_STEP_COPY_DATA,
  LZMA2_STEP_FINISHED,
  LZMA2_STEP_ERROR
};

#define LZMA2_CONTROL_END 0x00u
#define LZMA2_CONTROL_COPY_RESET_DIC 0x01u
#define LZMA2_CONTROL_COPY 0x02u
#define LZMA2_CONTROL_LZMA 0x80u
#define LZMA2_RESET_LEVEL(control) (((control) >> 5) & 3u)
#define LZMA2_RESET_STATE 1u
#define LZMA2_RESET_PROPS 2u
#define LZMA2_RESET_DIC 3u
#define LZMA2_UNPACKED_HIGH_BITS(control) (((uint32_t)(control)&0x1Fu) << 16)
/* A properties byte is (pb * 5 + lp) * 9 + lc with lc, lp and pb at most 8, 4 and 4. */
#define LZMA2_PROPS_LIMIT (9u * 5u * 5u)

uint32_t hl_lzma2_dict_size(uint8_t dictProp) {
  if (dictProp >= HL_LZMA2_DICT_PROP_MAX) return 0xFFFFFFFFu;
  return (2u | (dictProp & 1u)) << (dictProp / 2u + 11u);
}

SRes hl_lzma2_dec_allocate(hl_TLzma2Dec* p, uint8_t dictProp, ISzAlloc* alloc) {
  /* LzmaDec's own 5-byte properties: lc = 4, lp = 0, pb = 0 sizes the tables for lc + lp = 4;
   * every chunk brings its own lc, lp and pb later. */
  Byte props[LZMA_PROPS_SIZE];
  uint32_t dicSize;
  if (dictProp > HL_LZMA2_DICT_PROP_MAX) return SZ_ERROR_UNSUPPORTED;
  dicSize = hl_lzma2_dict_size(dictProp);
  props[0] = (Byte)HL_LZMA2_LCLP_MAX;
  props[1] = (Byte)dicSize;
  props[2] = (Byte)(dicSize >> 8);
  props[3] = (Byte)(dicSize >> 16);
  props[4] = (Byte)(dicSize >> 24);
  return LzmaDec_Allocate(&p->decoder, props, LZMA_PROPS_SIZE, alloc);
}

void hl_lzma2_dec_init(hl_TLzma2Dec* p) {
  p->chunkUnpacked = 0;
  p->chunkPacked = 0;
  p->step = LZMA2_STEP_CONTROL;
  p->control = 0;
  p->needDicReset = 1;
  p->needProps = 1;
  LzmaDec_Init(&p->decoder);
}

void hl_lzma2_dec_free(hl_TLzma2Dec* p, ISzAlloc* alloc) { LzmaDec_Free(&p->decoder, alloc); }

/* Accepts or refuses a control byte; returns the next step. */
static uint8_t hl_lzma2_take_control(hl_TLzma2Dec* p, uint8_t control) {
  unsigned reset;
  p->control = control;
  if (control == LZMA2_CONTROL_END) return LZMA2_STEP_FINISHED;
  if (control == LZMA2_CONTROL_COPY_RESET_DIC) return LZMA2_STEP_UNPACKED_HIGH;
  if (control == LZMA2_CONTROL_COPY)
    return p->needDicReset ? LZMA2_STEP_ERROR : LZMA2_STEP_UNPACKED_HIGH;
  if (control < LZMA2_CONTROL_LZMA) return LZMA2_STEP_ERROR;
  reset = LZMA2_RESET_LEVEL(control);
  if (p->needDicReset && reset != LZMA2_RESET_DIC) return LZMA2_STEP_ERROR;
  if (p->needProps && reset < LZMA2_RESET_PROPS) return LZMA2_STEP_ERROR;
  p->chunkUnpacked = LZMA2_UNPACKED_HIGH_BITS(control);
  return LZMA2_STEP_UNPACKED_HIGH;
}

/* Sets lc, lp and pb from a properties byte; false when LZMA2 does not allow them. */
static int hl_lzma2_take_props(CLzmaDec* dec, uint8_t props) {
  unsigned lc, lp, pb;
  if (props >= LZMA2_PROPS_LIMIT) return 0;
  lc = props % 9u;
  props /= 9u;
  lp = props % 5u;
  pb = props / 5u;
  if (lc + lp > HL_LZMA2_LCLP_MAX) return 0;
  /* prop is written in place: LzmaDec_AllocateProbs, the header's way to new properties,
   * allocates the tables again whenever lc + lp changes, which the memory reserved up front has
   * no room for; the tables made for lc + lp = 4 serve every chunk. */
  dec->prop.lc = lc;
  dec->prop.lp = lp;
  dec->prop.pb = pb;
  return 1;
}

/* The header is complete: apply the chunk's resets and go on to its data. */
static uint8_t hl_lzma2_start_data(hl_TLzma2Dec* p) {
  if (p->control < LZMA2_CONTROL_LZMA) {
    if (p->control == LZMA2_CONTROL_COPY_RESET_DIC) {
      LzmaDec_InitDicAndState(&p->decoder, True, False);
      p->needDicReset = 0;
      p->needProps = 1;
    }
    /* A chunk that continues the LZMA state may follow: the state, the reps and the
     * probabilities then carry on from the last LZMA chunk, over the copied bytes. */
    return LZMA2_STEP_COPY_DATA;
  } else {
    unsigned reset = LZMA2_RESET_LEVEL(p->control);
    /* Also restarts the range decoder and drops anything LzmaDec held over. */
    LzmaDec_InitDicAndState(&p->decoder, reset == LZMA2_RESET_DIC, reset >= LZMA2_RESET_STATE);
    p->needDicReset = 0;
    p->needProps = 0;
    return LZMA2_STEP_LZMA_DATA;
  }
}

/* One byte of a chunk header; returns the next step. */
static uint8_t hl_lzma2_take_header_byte(hl_TLzma2Dec* p, uint8_t b) {
  switch (p->step) {
    case LZMA2_STEP_CONTROL:
      return hl_lzma2_take_control(p, b);
    case LZMA2_STEP_UNPACKED_HIGH:
      if (p->control < LZMA2_CONTROL_LZMA) p->chunkUnpacked = 0;
      p->chunkUnpacked |= (uint32_t)b << 8;
      return LZMA2_STEP_UNPACKED_LOW;
    case LZMA2_STEP_UNPACKED_LOW:
      p->chunkUnpacked = (p->chunkUnpacked | b) + 1u;
      return p->control < LZMA2_CONTROL_LZMA ? hl_lzma2_start_data(p) : LZMA2_STEP_PACKED_HIGH;
    case LZMA2_STEP_PACKED_HIGH:
      p->chunkPacked = (uint32_t)b << 8;
      return LZMA2_STEP_PACKED_LOW;
    case LZMA2_STEP_PACKED_LOW:
      p->chunkPacked = (p->chunkPacked | b) + 1u;
      return LZMA2_RESET_LEVEL(p->control) >= LZMA2_RESET_PROPS ? LZMA2_STEP_PROPS
                                                                : hl_lzma2_start_data(p);
    case LZMA2_STEP_PROPS:
      return hl_lzma2_take_props(&p->decoder, b) ? hl_lzma2_start_data(p) : LZMA2_STEP_ERROR;
    default:
      return LZMA2_STEP_ERROR;
  }
}

/* Stores up to the chunk's, the input's and the dictionary's limit, and keeps LzmaDec's counts as
 * if it had decoded the bytes itself: the position feeds lp and pb, and once a dictionary's worth
 * has passed, matches may reach back the whole dictionary. Returns the bytes taken. */
static SizeT hl_lzma2_copy(hl_TLzma2Dec* p, SizeT dicLimit, const Byte* src, SizeT inSize) {
  CLzmaDec* dec = &p->decoder;
  SizeT n = dicLimit - dec->dicPos;
  if (n > inSize) n = inSize;
  if (n > p->chunkUnpacked) n = p->chunkUnpacked;
  memcpy(dec->dic + dec->dicPos, src, n);
  /* The header has no call that takes bytes into the history without decoding them, so
   * processedPos and checkDicSize are moved on here as LzmaDec moves them itself. */
  if (dec->checkDicSize == 0 && dec->prop.dicSize - dec->processedPos <= n)
    dec->checkDicSize = dec->prop.dicSize;
  dec->processedPos += (UInt32)n;
  dec->dicPos += n;
  p->chunkUnpacked -= (uint32_t)n;
  return n;
}

/* Runs LzmaDec on the current chunk, held to its unpacked and packed sizes. Returns the next
 * step and the input consumed in *used. */
static uint8_t hl_lzma2_decode_chunk(hl_TLzma2Dec* p, SizeT dicLimit, const Byte* src, SizeT inSize,
                                     SizeT* used) {
  CLzmaDec* dec = &p->decoder;
  SizeT outLeft = dicLimit - dec->dicPos;
  SizeT inLen = inSize < p->chunkPacked ? inSize : p->chunkPacked;
  SizeT dicBefore = dec->dicPos;
  SizeT produced;
  ELzmaStatus status;
  if (outLeft > p->chunkUnpacked) outLeft = p->chunkUnpacked;
  if (LzmaDec_DecodeToDic(dec, dec->dicPos + outLeft, src, &inLen, LZMA_FINISH_ANY, &status) !=
      SZ_OK)
    return LZMA2_STEP_ERROR;
  /* LZMA2 chunks carry no end marker. */
  if (status == LZMA_STATUS_FINISHED_WITH_MARK) return LZMA2_STEP_ERROR;
  produced = dec->dicPos - dicBefore;
  *used = inLen;
  p->chunkPacked -= (uint32_t)inLen;
  p->chunkUnpacked -= (uint32_t)produced;
  if (p->chunkUnpacked == 0) {
    /* Exactly the packed bytes must have made exactly the unpacked ones, the last match ending
     * with the chunk and the range decoder finished. Without an end marker LzmaDec reports no
     * clean end, so its remainLen (match bytes still to copy), code (0 where the range coding
     * ends cleanly) and tempBufSize (input held over) are read for it. */
    if (p->chunkPacked != 0 || dec->remainLen != 0 || dec->code != 0 || dec->tempBufSize != 0)
      return LZMA2_STEP_ERROR;
    return LZMA2_STEP_CONTROL;
  }
  /* Without progress, the chunk needs more input than its packed size holds. */
  if (produced == 0 && inLen == 0 && (p->chunkPacked == 0 || inSize != 0)) return LZMA2_STEP_ERROR;
  return LZMA2_STEP_LZMA_DATA;
}

SRes hl_lzma2_dec_decode_to_dic(hl_TLzma2Dec* p, SizeT dicLimit, const Byte* src, SizeT* srcLen,
                                ELzmaStatus* status) {
  CLzmaDec* dec = &p->decoder;
  SizeT inSize = *srcLen;
  *srcLen = 0;
  *status = LZMA_STATUS_NOT_SPECIFIED;
  for (;;) {
    SizeT used = 0;
    switch (p->step) {
      case LZMA2_STEP_ERROR:
        return SZ_ERROR_DATA;
      case LZMA2_STEP_FINISHED:
        *status = LZMA_STATUS_FINISHED_WITH_MARK;
        return SZ_OK;
      case LZMA2_STEP_COPY_DATA:
      case LZMA2_STEP_LZMA_DATA:
        if (dec->dicPos >= dicLimit) {
          *status = LZMA_STATUS_NOT_FINISHED;
          return SZ_OK;
        }
        if (p->step == LZMA2_STEP_COPY_DATA) {
          if (inSize == 0) {
            *status = LZMA_STATUS_NEEDS_MORE_INPUT;
            return SZ_OK;
          }
          used = hl_lzma2_copy(p, dicLimit, src, inSize);
          if (p->chunkUnpacked == 0) p->step = LZMA2_STEP_CONTROL;
        } else {
          /* With packed bytes left but none at hand, wait for input; with none left, LzmaDec may
           * still finish the chunk from what its range decoder holds. */
          if (inSize == 0 && p->chunkPacked != 0) {
            *status = LZMA_STATUS_NEEDS_MORE_INPUT;
            return SZ_OK;
          }
          p->step = hl_lzma2_decode_chunk(p, dicLimit, src, inSize, &used);
        }
        break;
      default:
        if (inSize == 0) {
          *status = p->step == LZMA2_STEP_CONTROL ? LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK
                                                  : LZMA_STATUS_NEEDS_MORE_INPUT;
          return SZ_OK;
        }
        p->step = hl_lzma2_take_header_byte(p, *src);
        used = 1;
        break;
    }
    src += used;
    inSize -= used;
    *srcLen += used;
  }
}
