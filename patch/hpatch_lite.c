/* hpatch_lite header reader and patch algorithm. */
#include "patch/hpatch_lite.h"

#include <stddef.h>

/* The input half of the patch cache. fill is what the last refill delivered (0 once the body
 * has run dry), pos the next byte to consume. */
typedef struct hpatch_lite_TInput {
  PatchListener* listener;
  hl_byte* buf;
  uint32_t fill;
  uint32_t pos;
} hpatch_lite_TInput;

/* Asks for as many bytes as the previous refill delivered, so a reader that once came up short
 * is never asked for more again. A false result counts as a delivery of 0 bytes. */
static void hpatch_lite_refill(hpatch_lite_TInput* in) {
  uint32_t want = in->fill;
  uint32_t got = want;
  if (!in->listener->readDiff(in->listener->diffHandle, in->buf, &got)) {
    got = 0;
  }
  /* A reader must not claim more than it was asked for; never index past the half. */
  in->fill = got < want ? got : want;
  in->pos = 0;
}

/* A byte missing from a dry body reads as 0, which ends any packed number at once. */
static hl_byte hpatch_lite_take_byte(hpatch_lite_TInput* in) {
  if (in->pos == in->fill) {
    hpatch_lite_refill(in);
    if (in->fill == 0) {
      return 0;
    }
  }
  return in->buf[in->pos++];
}

/* No writer needs more than 5 bytes for a 32-bit packed number; a body that goes on with
 * continuation bytes far beyond that can only be hostile (a compressed body can repeat such bytes
 * for ever), so such a number ends the body as if it had run dry, and the patch fails. */
#define HPATCH_LITE_PACKED_MAX_BYTES 10

static void hpatch_lite_mark_dry(hpatch_lite_TInput* in) {
  in->fill = 0;
  in->pos = 0;
}

/* Continues a packed number from value: 7 bits per byte, most significant group first. */
static uint32_t hpatch_lite_take_packed_from_slow(hpatch_lite_TInput* in, uint32_t value) {
  hl_byte b = 0;
  unsigned taken = 0;
  do {
    if (taken++ == HPATCH_LITE_PACKED_MAX_BYTES) {
      hpatch_lite_mark_dry(in);
      break;
    }
    b = hpatch_lite_take_byte(in);
    value = (value << 7) | (uint32_t)(b & HPATCH_LITE_PACKED_BITS);
  } while (b & HPATCH_LITE_PACKED_MORE);
  return value;
}

/* The usual case first: the longest number there can be lies in the input half, so no byte of it
 * needs a refill test. */
static inline uint32_t hpatch_lite_take_packed_from(hpatch_lite_TInput* in, uint32_t value) {
  const hl_byte* at = in->buf + in->pos;
  unsigned taken;
  if (in->fill - in->pos < HPATCH_LITE_PACKED_MAX_BYTES) {
    return hpatch_lite_take_packed_from_slow(in, value);
  }
  for (taken = 0; taken < HPATCH_LITE_PACKED_MAX_BYTES; ++taken) {
    hl_byte b = at[taken];
    value = (value << 7) | (uint32_t)(b & HPATCH_LITE_PACKED_BITS);
    if ((b & HPATCH_LITE_PACKED_MORE) == 0) {
      in->pos += taken + 1;
      return value;
    }
  }
  hpatch_lite_mark_dry(in);
  return value;
}

static uint32_t hpatch_lite_take_packed_slow(hpatch_lite_TInput* in) {
  hl_byte b = hpatch_lite_take_byte(in);
  uint32_t value = (uint32_t)(b & HPATCH_LITE_PACKED_BITS);
  return (b & HPATCH_LITE_PACKED_MORE) ? hpatch_lite_take_packed_from(in, value) : value;
}

/* Most numbers of a body are one byte already in the input half. */
static inline uint32_t hpatch_lite_take_packed(hpatch_lite_TInput* in) {
  if (in->pos < in->fill && (in->buf[in->pos] & HPATCH_LITE_PACKED_MORE) == 0) {
    return in->buf[in->pos++];
  }
  return hpatch_lite_take_packed_slow(in);
}

/* Little-endian value of up to 4 bytes; a short delivery just gives a value of fewer bytes. */
static hl_bool hpatch_lite_read_size_field(void* diffHandle, hl_read_fn readDiff, uint32_t width,
                                           uint32_t* value) {
  hl_byte bytes[HPATCH_LITE_SIZE_FIELD_MAX];
  uint32_t got = width;
  uint32_t i;
  *value = 0;
  if (width == 0) {
    return hl_TRUE;
  }
  if (!readDiff(diffHandle, bytes, &got)) {
    return hl_FALSE;
  }
  if (got > width) {
    got = width;
  }
  for (i = 0; i < got; ++i) {
    *value |= (uint32_t)bytes[i] << (8 * i);
  }
  return hl_TRUE;
}

hl_bool hpatch_lite_open(void* diffHandle, hl_read_fn readDiff, uint32_t* compress_type,
                         uint32_t* newSize, uint32_t* uncompressSize) {
  hl_byte head[4];
  uint32_t got = 4;
  uint32_t newWidth;
  uint32_t uncompressWidth;
  uint32_t newValue;
  uint32_t uncompressValue;

  if (!readDiff(diffHandle, head, &got) || got != 4) {
    return hl_FALSE;
  }
  if (head[0] != HPATCH_LITE_MAGIC_0 || head[1] != HPATCH_LITE_MAGIC_1 ||
      (head[3] & HPATCH_LITE_VERSION_MASK) != HPATCH_LITE_VERSION_BITS) {
    return hl_FALSE;
  }
  newWidth = head[3] & HPATCH_LITE_WIDTH_MASK;
  uncompressWidth = (head[3] >> HPATCH_LITE_UNCOMPRESS_WIDTH_SHIFT) & HPATCH_LITE_WIDTH_MASK;
  if (newWidth > HPATCH_LITE_SIZE_FIELD_MAX || uncompressWidth > HPATCH_LITE_SIZE_FIELD_MAX) {
    return hl_FALSE;
  }
  if (!hpatch_lite_read_size_field(diffHandle, readDiff, newWidth, &newValue) ||
      !hpatch_lite_read_size_field(diffHandle, readDiff, uncompressWidth, &uncompressValue)) {
    return hl_FALSE;
  }
  *compress_type = head[2];
  *newSize = newValue;
  *uncompressSize = uncompressValue;
  return hl_TRUE;
}

/* Passes the literal run straight from the input half to the writer. */
static hl_bool hpatch_lite_write_literal(hpatch_lite_TInput* in, uint32_t length) {
  while (length > 0) {
    uint32_t avail = in->fill - in->pos;
    uint32_t n;
    if (avail == 0) {
      hpatch_lite_refill(in);
      if (in->fill == 0) {
        return hl_FALSE;
      }
      avail = in->fill;
    }
    n = avail < length ? avail : length;
    if (!in->listener->writeNew(in->listener, in->buf + in->pos, n)) {
      return hl_FALSE;
    }
    in->pos += n;
    length -= n;
  }
  return hl_TRUE;
}

/* The old bytes of one chunk, lent by the listener where it can. */
static const hl_byte* hpatch_lite_old_bytes(PatchListener* listener, uint32_t oldPos, hl_byte* oldData,
                                            uint32_t size) {
  if (listener->lendOld != NULL) {
    return listener->lendOld(listener, oldPos, oldData, size);
  }
  return listener->readOld(listener, oldPos, oldData, size) ? oldData : NULL;
}

/* Makes one cover's bytes: old bytes, plus the difference bytes (into the old-data half) unless
 * the cover is a plain copy. A plain copy consumes no input but is still chunked by fill, which
 * never exceeds the half. */
static hl_bool hpatch_lite_write_cover(hpatch_lite_TInput* in, hl_byte* oldData, uint32_t oldPos,
                                       uint32_t length, hl_bool plainCopy) {
  while (length > 0) {
    const hl_byte* old;
    uint32_t avail;
    uint32_t n;
    if (plainCopy) {
      avail = in->fill;
    } else {
      avail = in->fill - in->pos;
      if (avail == 0) {
        hpatch_lite_refill(in);
        avail = in->fill;
      }
    }
    if (avail == 0) {
      return hl_FALSE;
    }
    n = avail < length ? avail : length;
    old = hpatch_lite_old_bytes(in->listener, oldPos, oldData, n);
    if (old == NULL) {
      return hl_FALSE;
    }
    if (!plainCopy) {
      const hl_byte* diff = in->buf + in->pos;
      uint32_t i;
      for (i = 0; i < n; ++i) {
        oldData[i] = (hl_byte)(old[i] + diff[i]);
      }
      old = oldData;
      in->pos += n;
    }
    if (!in->listener->writeNew(in->listener, old, n)) {
      return hl_FALSE;
    }
    oldPos += n;
    length -= n;
  }
  return hl_TRUE;
}

hl_bool hpatch_lite_patch(PatchListener* listener, uint32_t newSize, hl_byte* cache,
                          uint32_t cacheSize) {
  hpatch_lite_TInput in;
  hl_byte* oldData;
  uint32_t half;
  uint32_t coverCount;
  uint32_t oldPos = 0;
  uint32_t newPos = 0;

  if (cacheSize < 2) {
    return hl_FALSE;
  }
  half = cacheSize / 2;
  oldData = cache;
  in.listener = listener;
  in.buf = cache + half;
  in.fill = half;
  in.pos = half;

  coverCount = hpatch_lite_take_packed(&in);
  while (coverCount > 0) {
    uint32_t coverLen;
    uint32_t step;
    uint32_t literalLen;
    uint32_t coverOldPos;
    uint32_t coverNewPos;
    hl_byte tag;

    --coverCount;
    coverLen = hpatch_lite_take_packed(&in);
    tag = hpatch_lite_take_byte(&in);
    step = (uint32_t)(tag & HPATCH_LITE_TAG_STEP_BITS);
    if (tag & HPATCH_LITE_TAG_STEP_MORE) {
      step = hpatch_lite_take_packed_from(&in, step);
    }
    coverOldPos = (tag & HPATCH_LITE_TAG_BACKWARD) ? oldPos - step : oldPos + step;

    literalLen = hpatch_lite_take_packed(&in);
    coverNewPos = newPos + literalLen;
    if (coverNewPos < newPos) {
      return hl_FALSE;
    }
    /* Nothing is written past the declared new size: a body that would go beyond it fails here,
     * so a small hostile patch can neither fill the disk nor wrap back to the right length. */
    if (coverNewPos > newSize || coverLen > newSize - coverNewPos) {
      return hl_FALSE;
    }
    if (!hpatch_lite_write_literal(&in, literalLen)) {
      return hl_FALSE;
    }
    if (!hpatch_lite_write_cover(&in, oldData, coverOldPos, coverLen, (tag & HPATCH_LITE_TAG_PLAIN_COPY) != 0)) {
      return hl_FALSE;
    }
    oldPos = coverOldPos + coverLen;
    newPos = coverNewPos + coverLen;
    if (coverLen == 0 && coverCount > 0) {
      return hl_FALSE;
    }
  }
  return newPos == newSize && in.fill != 0;
}
