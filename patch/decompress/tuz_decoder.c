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

int tuz_TStream_decode(tuz_TStream* stream, hl_byte* out, uint32_t* count) {
  tuz_TInput in;
  const uint32_t want = *count;
  uint32_t left = want;
  hl_byte* p = out;
  int result = TUZ_OK;

  in.buf = stream->cacheBuf;
  in.begin = stream->cacheBegin;
  in.end = stream->cacheEnd;
  in.bitBuf = stream->bitBuf;
  in.bitCount = stream->bitCount;
  in.handle = stream->inputHandle;
  in.read = stream->readInput;

  for (;;) {
    uint32_t length, distance;
    if (stream->matchLeft > 0) {
      uint32_t k;
      if (left == 0) break;
      k = left < stream->matchLeft ? left : stream->matchLeft;
      if (stream->srcDictPos < stream->dictSize) {
        uint32_t inDict = stream->dictSize - stream->srcDictPos;
        if (k > inDict) k = inDict;
        tuz_copy_from_dict(stream, p, k);
        stream->srcDictPos += k;
      } else {
        const hl_byte* src = out + stream->srcOutPos;
        tuz_copy_in_output(p, src, k);
        stream->srcOutPos += k;
      }
      stream->matchLeft -= k;
      left -= k;
      p += k;
      continue;
    }
    if (stream->literalLeft > 0) {
      uint32_t k;
      if (left == 0) break;
      k = left < stream->literalLeft ? left : stream->literalLeft;
      tuz_take_bytes(&in, p, k);
      stream->literalLeft -= k;
      left -= k;
      p += k;
      continue;
    }

    if (tuz_take_bits(&in, 1)) {
      if (left == 0) {
        in.bitBuf = in.bitBuf * 2u + 1u; /* put the literal flag back for the next call */
        in.bitCount += 1u;
        break;
      }
      stream->afterLiteral = 1;
      *p++ = tuz_take_byte(&in);
      --left;
      continue;
    }

    length = tuz_take_length_code(&in);
    if (stream->afterLiteral && tuz_take_bits(&in, 1)) {
      distance = stream->lastDistance;
    } else {
      uint32_t head = tuz_take_byte(&in);
      if (head < TUZ_BIG_DISTANCE_BASE) {
        distance = head;
      } else {
        uint32_t groups = tuz_take_count_code(&in);
        distance = ((groups << 7) | (head & (TUZ_BIG_DISTANCE_BASE - 1u))) + TUZ_BIG_DISTANCE_BASE;
      }
      if (distance > TUZ_SHORT_DISTANCE_MAX) length += 1u;
    }
    stream->afterLiteral = 0;

    if (distance == 0) {
      if (length == TUZ_CTRL_LITERAL_BLOCK) {
        stream->afterLiteral = 1;
        stream->literalLeft = tuz_take_count_code(&in) + TUZ_LITERAL_BLOCK_MIN;
        continue;
      }
      if (length == TUZ_CTRL_RESTART) {
        stream->lastDistance = 1;
        in.bitBuf = 0;
        in.bitCount = 0;
        continue;
      }
      if (length == TUZ_CTRL_END) {
        /* An end code that the dry input made up (its distance byte read as 0) ends nothing:
         * the stream was cut off. */
        if (in.end == 0) {
          result = TUZ_ERR_INPUT_DRY;
          goto save;
        }
        stream->lastDistance = 1;
        in.bitBuf = 0;
        in.bitCount = 0;
        *count = (uint32_t)(p - out);
        result = TUZ_STREAM_END;
        goto save;
      }
      result = in.end != 0 ? TUZ_ERR_CONTROL_CODE : TUZ_ERR_INPUT_DRY;
      goto save;
    }

    stream->lastDistance = distance;
    stream->matchLeft = length + TUZ_MATCH_LENGTH_MIN;
    if (distance > stream->dictSize) {
      result = TUZ_ERR_DISTANCE;
      goto save;
    }
    {
      uint32_t written = (uint32_t)(p - out);
      if (written < distance) {
        stream->srcDictPos = stream->dictSize - (distance - written);
        stream->srcOutPos = 0;
      } else {
        stream->srcDictPos = stream->dictSize;
        stream->srcOutPos = written - distance;
      }
    }
  }

  /* The request is full. */
  if (p > out) tuz_add_to_dict(stream, out, (uint32_t)(p - out));
  if (in.end == 0) {
    result = TUZ_ERR_INPUT_DRY;
  } else if (want == 0) {
    result = TUZ_ERR_EMPTY_REQUEST;
  }

save:
  stream->cacheBegin = in.begin;
  stream->cacheEnd = in.end;
  stream->bitBuf = in.bitBuf;
  stream->bitCount = in.bitCount;
  return result;
}

hl_bool tuz_TStream_read(void* stream, hl_byte* out, uint32_t* count) {
  int result = tuz_TStream_decode((tuz_TStream*)stream, out, count);
  return result == TUZ_OK || result == TUZ_STREAM_END;
}
