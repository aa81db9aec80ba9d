/* hpatch_lite header reader and patch algorithm. */
#include "patch/hpatch_lite.h"

#include <stddef.h>
#include <string.h>

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

/* The numbers that open a cover: its length, its tag with the step to its old position, and the
 * length of the literal run before it. */
typedef struct hpatch_lite_TCoverHead {
  uint32_t coverLen;
  uint32_t step;
  uint32_t literalLen;
  hl_byte tag;
} hpatch_lite_TCoverHead;

static void hpatch_lite_take_cover_head(hpatch_lite_TInput* in, hpatch_lite_TCoverHead* head) {
  head->coverLen = hpatch_lite_take_packed(in);
  head->tag = hpatch_lite_take_byte(in);
  head->step = (uint32_t)(head->tag & HPATCH_LITE_TAG_STEP_BITS);
  if (head->tag & HPATCH_LITE_TAG_STEP_MORE) {
    head->step = hpatch_lite_take_packed_from(in, head->step);
  }
  head->literalLen = hpatch_lite_take_packed(in);
}

/* A 32-bit number needs no more than 5 bytes; a head of three such numbers and the tag lies whole
 * in the input half when this many bytes are left there. */
#define HPATCH_LITE_FAST_PACKED_BYTES 5u
#define HPATCH_LITE_FAST_HEAD_BYTES (3u * HPATCH_LITE_FAST_PACKED_BYTES + 1u)

/* Goes on with a packed number from value at *at, as hpatch_lite_take_packed_from does; null
 * when it is longer than a 32-bit number needs. */
static inline const hl_byte* hpatch_lite_parse_more(const hl_byte* at, uint32_t value,
                                                    uint32_t* number) {
  unsigned i;
  for (i = 1; i < HPATCH_LITE_FAST_PACKED_BYTES; ++i) {
    hl_byte b = *at++;
    value = (value << 7) | (uint32_t)(b & HPATCH_LITE_PACKED_BITS);
    if ((b & HPATCH_LITE_PACKED_MORE) == 0) {
      *number = value;
      return at;
    }
  }
  return NULL;
}

static inline const hl_byte* hpatch_lite_parse_packed(const hl_byte* at, uint32_t* number) {
  hl_byte b = *at++;
  if ((b & HPATCH_LITE_PACKED_MORE) == 0) {
    *number = b;
    return at;
  }
  return hpatch_lite_parse_more(at, (uint32_t)(b & HPATCH_LITE_PACKED_BITS), number);
}

/* The usual case of hpatch_lite_take_cover_head: the whole head lies in the input half and its
 * numbers are of the lengths writers make, so it is read with no refill test. False, with nothing
 * consumed, for any other head, which the byte-wise reader then takes as it always did. */
static inline hl_bool hpatch_lite_parse_cover_head(hpatch_lite_TInput* in,
                                                   hpatch_lite_TCoverHead* head) {
  const hl_byte* at = in->buf + in->pos;
  if (in->fill - in->pos < HPATCH_LITE_FAST_HEAD_BYTES) {
    return hl_FALSE;
  }
  at = hpatch_lite_parse_packed(at, &head->coverLen);
  if (at == NULL) {
    return hl_FALSE;
  }
  head->tag = *at++;
  head->step = (uint32_t)(head->tag & HPATCH_LITE_TAG_STEP_BITS);
  if (head->tag & HPATCH_LITE_TAG_STEP_MORE) {
    at = hpatch_lite_parse_more(at, head->step, &head->step);
    if (at == NULL) {
      return hl_FALSE;
    }
  }
  at = hpatch_lite_parse_packed(at, &head->literalLen);
  if (at == NULL) {
    return hl_FALSE;
  }
  in->pos = (uint32_t)(at - in->buf);
  return hl_TRUE;
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

/* Where new bytes go: into the room the listener lends (newSpace), kept from one cover to the next
 * and committed when full or at the end, or else through writeNew. */
typedef struct hpatch_lite_TOutput {
  PatchListener* listener;
  hl_byte* room;   /* the room last lent; null before the first */
  uint32_t size;   /* its size */
  uint32_t placed; /* bytes placed in it */
} hpatch_lite_TOutput;

#define HPATCH_LITE_SHORT_PUT 8u

/* Commits the bytes placed in the room; the next byte needs a new room. */
static hl_bool hpatch_lite_commit(hpatch_lite_TOutput* out) {
  uint32_t placed = out->placed;
  out->placed = 0;
  out->size = 0;
  return placed == 0 || out->listener->commitNew(out->listener, placed);
}

/* Room for up to *size more bytes, *size lowered to what fits; null on failure. */
static hl_byte* hpatch_lite_room(hpatch_lite_TOutput* out, uint32_t* size) {
  if (out->placed == out->size) {
    if (!hpatch_lite_commit(out)) {
      return NULL;
    }
    out->room = out->listener->newSpace(out->listener, &out->size);
    if (out->room == NULL || out->size == 0) {
      out->size = 0;
      return NULL;
    }
  }
  if (*size > out->size - out->placed) {
    *size = out->size - out->placed;
  }
  return out->room + out->placed;
}

static hl_bool hpatch_lite_put_any(hpatch_lite_TOutput* out, const hl_byte* data, uint32_t size) {
  if (out->listener->newSpace == NULL) {
    return out->listener->writeNew(out->listener, data, size);
  }
  while (size > 0) {
    uint32_t n = size;
    hl_byte* at = hpatch_lite_room(out, &n);
    if (at == NULL) {
      return hl_FALSE;
    }
    memcpy(at, data, n);
    out->placed += n;
    data += n;
    size -= n;
  }
  return hl_TRUE;
}

/* Passes size bytes on to the new file. Short covers give chunks of a few bytes: those that fit
 * the room are copied right here. Without a room (writeNew) the room's size stays 0. */
static inline hl_bool hpatch_lite_put(hpatch_lite_TOutput* out, const hl_byte* data,
                                      uint32_t size) {
  if (size <= HPATCH_LITE_SHORT_PUT && size <= out->size - out->placed) {
    hl_byte* at = out->room + out->placed;
    uint32_t i;
    for (i = 0; i < size; ++i) {
      at[i] = data[i];
    }
    out->placed += size;
    return hl_TRUE;
  }
  return hpatch_lite_put_any(out, data, size);
}

/* Passes the sums of size old and difference bytes on to the new file: made in the listener's
 * room, or else in scratch (the old-data half, which old may be) and written from there. */
static hl_bool hpatch_lite_put_sum(hpatch_lite_TOutput* out, const hl_byte* old,
                                   const hl_byte* diff, uint32_t size, hl_byte* scratch) {
  uint32_t i;
  if (out->listener->newSpace == NULL) {
    for (i = 0; i < size; ++i) {
      scratch[i] = (hl_byte)(old[i] + diff[i]);
    }
    return out->listener->writeNew(out->listener, scratch, size);
  }
  while (size > 0) {
    uint32_t n = size;
    hl_byte* at = hpatch_lite_room(out, &n);
    if (at == NULL) {
      return hl_FALSE;
    }
    for (i = 0; i < n; ++i) {
      at[i] = (hl_byte)(old[i] + diff[i]);
    }
    out->placed += n;
    old += n;
    diff += n;
    size -= n;
  }
  return hl_TRUE;
}

/* Passes the literal run straight from the input half to the writer. */
static hl_bool hpatch_lite_write_literal(hpatch_lite_TInput* in, hpatch_lite_TOutput* out,
                                         uint32_t length) {
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
    if (!hpatch_lite_put(out, in->buf + in->pos, n)) {
      return hl_FALSE;
    }
    in->pos += n;
    length -= n;
  }
  return hl_TRUE;
}

/* Tells the listener of the ranges taken from its spans, and starts the next batch. */
static void hpatch_lite_tell_taken(PatchListener* listener) {
  PatchOldSpans* spans = listener->oldSpans;
  unsigned i;
  if (spans == NULL || spans->taken == 0) {
    return;
  }
  listener->tookOld(listener);
  spans->taken = 0;
  for (i = 0; i < HPATCH_LITE_OLD_SPANS; ++i) {
    spans->lastTaken[i] = 0;
  }
}

/* The old bytes of one chunk: from the listener's spans without a call where they lie whole in
 * the first span that holds oldPos, else lent by the listener where it can. */
static inline const hl_byte* hpatch_lite_old_bytes(PatchListener* listener, uint32_t oldPos,
                                                   hl_byte* oldData, uint32_t size) {
  PatchOldSpans* spans = listener->oldSpans;
  if (listener->lendOld == NULL) {
    return listener->readOld(listener, oldPos, oldData, size) ? oldData : NULL;
  }
  if (spans != NULL) {
    unsigned i;
    for (i = 0; i < HPATCH_LITE_OLD_SPANS; ++i) {
      uint64_t offset = (uint64_t)oldPos - spans->position[i];
      if (offset < spans->length[i]) {
        uint32_t taken = spans->taken;
        if (size > spans->length[i] - offset) {
          break;
        }
        spans->recentEnds[taken % HPATCH_LITE_OLD_RECENT] = (uint64_t)oldPos + size;
        spans->taken = ++taken;
        spans->lastTaken[i] = taken;
        if (taken == HPATCH_LITE_OLD_TAKEN_MAX) {
          hpatch_lite_tell_taken(listener);
        }
        return spans->bytes[i] + offset;
      }
    }
    hpatch_lite_tell_taken(listener);
  }
  return listener->lendOld(listener, oldPos, oldData, size);
}

/* Makes one cover's bytes: old bytes, plus the difference bytes unless the cover is a plain copy.
 * A plain copy consumes no input but is still chunked by fill, which never exceeds the half. */
static inline hl_bool hpatch_lite_write_cover(hpatch_lite_TInput* in, hpatch_lite_TOutput* out,
                                              hl_byte* oldData, uint32_t oldPos, uint32_t length,
                                              hl_bool plainCopy) {
  /* The usual short plain copy is one chunk. */
  if (plainCopy && length <= in->fill && length > 0) {
    const hl_byte* old = hpatch_lite_old_bytes(in->listener, oldPos, oldData, length);
    return old != NULL && hpatch_lite_put(out, old, length);
  }
  while (length > 0) {
    const hl_byte* old;
    uint32_t avail;
    uint32_t n;
    hl_bool put;
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
    if (plainCopy) {
      put = hpatch_lite_put(out, old, n);
    } else {
      put = hpatch_lite_put_sum(out, old, in->buf + in->pos, n, oldData);
      in->pos += n;
    }
    if (!put) {
      return hl_FALSE;
    }
    oldPos += n;
    length -= n;
  }
  return hl_TRUE;
}

/* hpatch_lite_patch but for committing the bytes left in the listener's room. */
static hl_bool hpatch_lite_apply(hpatch_lite_TOutput* out, uint32_t newSize, hl_byte* cache,
                                 uint32_t cacheSize) {
  PatchListener* listener = out->listener;
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
    hpatch_lite_TCoverHead head;
    uint32_t coverOldPos;
    uint32_t coverNewPos;

    --coverCount;
    if (!hpatch_lite_parse_cover_head(&in, &head)) {
      hpatch_lite_take_cover_head(&in, &head);
    }
    coverOldPos = (head.tag & HPATCH_LITE_TAG_BACKWARD) ? oldPos - head.step : oldPos + head.step;
    coverNewPos = newPos + head.literalLen;
    if (coverNewPos < newPos) {
      return hl_FALSE;
    }
    /* Nothing is written past the declared new size: a body that would go beyond it fails here,
     * so a small hostile patch can neither fill the disk nor wrap back to the right length. */
    if (coverNewPos > newSize || head.coverLen > newSize - coverNewPos) {
      return hl_FALSE;
    }
    if (head.literalLen > 0 && !hpatch_lite_write_literal(&in, out, head.literalLen)) {
      return hl_FALSE;
    }
    if (!hpatch_lite_write_cover(&in, out, oldData, coverOldPos, head.coverLen,
                                 (head.tag & HPATCH_LITE_TAG_PLAIN_COPY) != 0)) {
      return hl_FALSE;
    }
    oldPos = coverOldPos + head.coverLen;
    newPos = coverNewPos + head.coverLen;
    if (head.coverLen == 0 && coverCount > 0) {
      return hl_FALSE;
    }
  }
  return newPos == newSize && in.fill != 0;
}

hl_bool hpatch_lite_patch(PatchListener* listener, uint32_t newSize, hl_byte* cache,
                          uint32_t cacheSize) {
  hpatch_lite_TOutput out;
  hl_bool applied;
  out.listener = listener;
  out.room = NULL;
  out.size = 0;
  out.placed = 0;
  applied = hpatch_lite_apply(&out, newSize, cache, cacheSize);
  hpatch_lite_tell_taken(listener);
  /* Bytes placed stay written, also when the patch failed. */
  return hpatch_lite_commit(&out) && applied;
}
