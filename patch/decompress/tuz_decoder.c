/* tuz stream decoder: one ring dictionary, one input cache, output in pieces of any size. */
#include "patch/decompress/tuz_decoder.h"

#include <string.h>

#include "patch/hpatch_lite_format.h"

/* The hot input state, kept in locals for the length of one decode call so that writes through
 * the caller's output buffer do not force it back to memory. */
typedef struct tuz_TInput {
  hl_byte* buf;
  uint32_t begin;
  uint32_t end;
  uint32_t bitBuf;
  uint32_t bitCount;
  void* handle;
  hl_read_fn read;
} tuz_TInput;

/* Asks the reader for as many bytes as the last refill delivered; a failed read delivers none. */
static uint32_t tuz_refill(void* handle, hl_read_fn read, hl_byte* buf, uint32_t ask) {
  uint32_t got = ask;
  if (!read(handle, buf, &got)) return 0;
  return got > ask ? ask : got; /* never trust more than the cache holds */
}

static inline hl_byte tuz_take_byte(tuz_TInput* in) {
  if (in->begin == in->end) {
    in->end = tuz_refill(in->handle, in->read, in->buf, in->end);
    in->begin = 0;
    if (in->end == 0) return 0; /* dry input reads as zero bytes */
  }
  return in->buf[in->begin++];
}

/* n is 1, 2 or 3; fields continue from one flag byte into the next, lowest bit first. */
static inline uint32_t tuz_take_bits(tuz_TInput* in, uint32_t n) {
  uint32_t field;
  if (in->bitCount >= n) {
    field = in->bitBuf & ((1u << n) - 1u);
    in->bitBuf >>= n;
    in->bitCount -= n;
  } else {
    uint32_t flags = tuz_take_byte(in);
    field = (in->bitBuf | (flags << in->bitCount)) & ((1u << n) - 1u);
    in->bitBuf = flags >> (n - in->bitCount);
    in->bitCount = in->bitCount + 8u - n;
  }
  return field;
}

static uint32_t tuz_take_length_code(tuz_TInput* in) {
  uint32_t group = tuz_take_bits(in, 2);
  uint32_t length = group & 1u;
  while (group & 2u) {
    group = tuz_take_bits(in, 2);
    length = (length + 1u) * 2u + (group & 1u);
  }
  return length;
}

static uint32_t tuz_take_count_code(tuz_TInput* in) {
  uint32_t value = 0;
  for (;;) {
    uint32_t group = tuz_take_bits(in, 3);
    value = value * 4u + (group & 3u);
    if (!(group & 4u)) return value;
    value += 1u;
  }
}

/* Copies k literal bytes, in block copies from the cache where it holds them. */
static void tuz_take_bytes(tuz_TInput* in, hl_byte* dst, uint32_t k) {
  while (k > 0) {
    uint32_t avail = in->end - in->begin;
    if (avail == 0) {
      *dst++ = tuz_take_byte(in);
      --k;
      continue;
    }
    if (avail > k) avail = k;
    memcpy(dst, in->buf + in->begin, avail);
    in->begin += avail;
    dst += avail;
    k -= avail;
  }
}

uint32_t tuz_TStream_read_dict_size(void* inputHandle, hl_read_fn readInput) {
  hl_byte bytes[TUZ_DICT_SIZE_BYTES];
  uint32_t got = TUZ_DICT_SIZE_BYTES;
  if (!readInput(inputHandle, bytes, &got) || got != TUZ_DICT_SIZE_BYTES) return 0;
  return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
         ((uint32_t)bytes[3] << 24);
}

int tuz_TStream_open(tuz_TStream* stream, void* inputHandle, hl_read_fn readInput, hl_byte* memory,
                     uint32_t dictSize, uint32_t cacheSize) {
  if (dictSize == 0) return TUZ_ERR_DICT_SIZE;
  if (cacheSize == 0) return TUZ_ERR_CACHE_SIZE;
  memset(stream, 0, sizeof(*stream));
  stream->cacheBegin = cacheSize;
  stream->cacheEnd = cacheSize;
  stream->cacheBuf = memory + dictSize;
  stream->inputHandle = inputHandle;
  stream->readInput = readInput;
  stream->dictSize = dictSize;
  stream->dictBuf = memory;
  stream->lastDistance = 1;
  /* A malformed match that reaches before the first byte then yields zeros, never stale memory. */
  memset(memory, 0, dictSize);
  return TUZ_OK;
}

/* Appends this call's n output bytes to the ring, re-basing a pending match source onto it. */
static void tuz_add_to_dict(tuz_TStream* s, const hl_byte* out, uint32_t n) {
  uint32_t pos;
  s->srcDictPos = s->srcDictPos + s->srcOutPos - n;
  s->srcOutPos = 0;
  if (n >= s->dictSize) {
    memcpy(s->dictBuf, out + (n - s->dictSize), s->dictSize);
    s->dictWritePos = 0;
    return;
  }
  pos = s->dictWritePos == s->dictSize ? 0 : s->dictWritePos;
  if (n <= s->dictSize - pos) {
    memcpy(s->dictBuf + pos, out, n);
    s->dictWritePos = pos + n;
  } else {
    uint32_t first = s->dictSize - pos;
    memcpy(s->dictBuf + pos, out, first);
    memcpy(s->dictBuf, out + first, n - first);
    s->dictWritePos = n - first;
  }
}

/* Copies k bytes starting at ring position srcDictPos (counted from the oldest byte). */
static void tuz_copy_from_dict(const tuz_TStream* s, hl_byte* dst, uint32_t k) {
  uint32_t oldest = s->dictWritePos == s->dictSize ? 0 : s->dictWritePos;
  uint32_t toEnd = s->dictSize - oldest;
  uint32_t index = s->srcDictPos >= toEnd ? s->srcDictPos - toEnd : oldest + s->srcDictPos;
  uint32_t first = s->dictSize - index;
  if (first >= k) {
    memcpy(dst, s->dictBuf + index, k);
  } else {
    memcpy(dst, s->dictBuf + index, first);
    memcpy(dst + first, s->dictBuf, k - first);
  }
}

/* Copies k bytes from src, which lies before dst in the same output, in ascending order, so that
 * a source that overlaps the target repeats the bytes just written. Overlapping matches are
 * common in patch bodies (runs of equal difference bytes have distance 1), so they go by whole
 * periods of the distance rather than byte by byte. */
static void tuz_copy_in_output(hl_byte* dst, const hl_byte* src, uint32_t k) {
  size_t distance = (size_t)(dst - src);
  if (distance >= k) {
    memcpy(dst, src, k);
  } else if (distance == 1) {
    memset(dst, src[0], k);
  } else if (distance >= 8) {
    /* Each period's source was written before it is read. */
    while (k > 0) {
      uint32_t step = k < distance ? k : (uint32_t)distance;
      memcpy(dst, src, step);
      dst += step;
      src += step;
      k -= step;
    }
  } else {
    uint32_t i;
    for (i = 0; i < k; ++i) dst[i] = src[i];
  }
}

static inline void tuz_input_load(tuz_TInput* in, const tuz_TStream* s) {
  in->buf = s->cacheBuf;
  in->begin = s->cacheBegin;
  in->end = s->cacheEnd;
  in->bitBuf = s->bitBuf;
  in->bitCount = s->bitCount;
  in->handle = s->inputHandle;
  in->read = s->readInput;
}

static inline void tuz_input_save(tuz_TStream* s, const tuz_TInput* in) {
  s->cacheBegin = in->begin;
  s->cacheEnd = in->end;
  s->bitBuf = in->bitBuf;
  s->bitCount = in->bitCount;
}

/* Goes on with the pending match, up to left bytes at p, as far as its source lies in one
 * place (the ring or this call's output); returns the bytes written. */
static inline uint32_t tuz_continue_match(tuz_TStream* s, const hl_byte* out, hl_byte* p,
                                          uint32_t left) {
  uint32_t k = left < s->matchLeft ? left : s->matchLeft;
  if (s->srcDictPos < s->dictSize) {
    uint32_t inDict = s->dictSize - s->srcDictPos;
    if (k > inDict) k = inDict;
    tuz_copy_from_dict(s, p, k);
    s->srcDictPos += k;
  } else {
    tuz_copy_in_output(p, out + s->srcOutPos, k);
    s->srcOutPos += k;
  }
  s->matchLeft -= k;
  return k;
}

/* Goes on with the pending literal block, up to left bytes at p; returns the bytes written. */
static inline uint32_t tuz_continue_literals(tuz_TStream* s, tuz_TInput* in, hl_byte* p,
                                             uint32_t left) {
  uint32_t k = left < s->literalLeft ? left : s->literalLeft;
  tuz_take_bytes(in, p, k);
  s->literalLeft -= k;
  return k;
}

/* Reads the length and distance codes that follow a match flag; distance 0 is a control code. */
static inline uint32_t tuz_take_match_codes(tuz_TStream* s, tuz_TInput* in, uint32_t* length) {
  uint32_t distance;
  *length = tuz_take_length_code(in);
  if (s->afterLiteral && tuz_take_bits(in, 1)) {
    distance = s->lastDistance;
  } else {
    uint32_t head = tuz_take_byte(in);
    if (head < TUZ_BIG_DISTANCE_BASE) {
      distance = head;
    } else {
      uint32_t groups = tuz_take_count_code(in);
      distance = ((groups << 7) | (head & (TUZ_BIG_DISTANCE_BASE - 1u))) + TUZ_BIG_DISTANCE_BASE;
    }
    if (distance > TUZ_SHORT_DISTANCE_MAX) *length += 1u;
  }
  s->afterLiteral = 0;
  return distance;
}

/* Acts on the control code in length: TUZ_OK to go on decoding, else what the call returns. */
static int tuz_take_control(tuz_TStream* s, tuz_TInput* in, uint32_t length) {
  if (length == TUZ_CTRL_LITERAL_BLOCK) {
    s->afterLiteral = 1;
    s->literalLeft = tuz_take_count_code(in) + TUZ_LITERAL_BLOCK_MIN;
    return TUZ_OK;
  }
  if (length == TUZ_CTRL_RESTART || length == TUZ_CTRL_END) {
    /* An end code that the dry input made up (its distance byte read as 0) ends nothing: the
     * stream was cut off. */
    if (length == TUZ_CTRL_END && in->end == 0) return TUZ_ERR_INPUT_DRY;
    s->lastDistance = 1;
    in->bitBuf = 0;
    in->bitCount = 0;
    return length == TUZ_CTRL_END ? TUZ_STREAM_END : TUZ_OK;
  }
  return in->end != 0 ? TUZ_ERR_CONTROL_CODE : TUZ_ERR_INPUT_DRY;
}

/* Makes the match just read pending, its source in the ring or in the written bytes of this
 * call's output. */
static inline int tuz_start_match(tuz_TStream* s, uint32_t length, uint32_t distance,
                                  uint32_t written) {
  s->lastDistance = distance;
  s->matchLeft = length + TUZ_MATCH_LENGTH_MIN;
  if (distance > s->dictSize) return TUZ_ERR_DISTANCE;
  if (written < distance) {
    s->srcDictPos = s->dictSize - (distance - written);
    s->srcOutPos = 0;
  } else {
    s->srcDictPos = s->dictSize;
    s->srcOutPos = written - distance;
  }
  return TUZ_OK;
}

/* Decodes into out until want bytes are written (TUZ_OK) or a code ends the call; *written
 * tells how far it got. */
static inline int tuz_decode_codes(tuz_TStream* s, tuz_TInput* in, hl_byte* out, uint32_t want,
                                   uint32_t* written) {
  uint32_t left = want;
  hl_byte* p = out;
  int result = TUZ_OK;
  for (;;) {
    uint32_t length, distance;
    if (s->matchLeft > 0 || s->literalLeft > 0) {
      uint32_t k;
      if (left == 0) break;
      k = s->matchLeft > 0 ? tuz_continue_match(s, out, p, left)
                           : tuz_continue_literals(s, in, p, left);
      left -= k;
      p += k;
      continue;
    }
    if (tuz_take_bits(in, 1)) {
      if (left == 0) {
        in->bitBuf = in->bitBuf * 2u + 1u; /* put the literal flag back for the next call */
        in->bitCount += 1u;
        break;
      }
      s->afterLiteral = 1;
      *p++ = tuz_take_byte(in);
      --left;
      continue;
    }
    distance = tuz_take_match_codes(s, in, &length);
    result = distance == 0 ? tuz_take_control(s, in, length)
                           : tuz_start_match(s, length, distance, (uint32_t)(p - out));
    if (result != TUZ_OK) break;
  }
  *written = (uint32_t)(p - out);
  return result;
}

/* The request's n bytes are all written: they join the ring, and a dry input or an empty
 * request is told. */
static int tuz_finish_request(tuz_TStream* s, const tuz_TInput* in, const hl_byte* out,
                              uint32_t n) {
  if (n > 0) tuz_add_to_dict(s, out, n);
  if (in->end == 0) return TUZ_ERR_INPUT_DRY;
  if (n == 0) return TUZ_ERR_EMPTY_REQUEST;
  return TUZ_OK;
}

int tuz_TStream_decode(tuz_TStream* stream, hl_byte* out, uint32_t* count) {
  tuz_TInput in;
  uint32_t written;
  int result;
  tuz_input_load(&in, stream);
  result = tuz_decode_codes(stream, &in, out, *count, &written);
  if (result == TUZ_OK) {
    result = tuz_finish_request(stream, &in, out, written);
  } else if (result == TUZ_STREAM_END) {
    *count = written;
  }
  tuz_input_save(stream, &in);
  return result;
}

hl_bool tuz_TStream_read(void* stream, hl_byte* out, uint32_t* count) {
  int result = tuz_TStream_decode((tuz_TStream*)stream, out, count);
  return result == TUZ_OK || result == TUZ_STREAM_END;
}
