/* The hpatch_lite patch format: header reader and the one-pass patch algorithm.
 *
 * Neither operation opens files, allocates or prints: input comes through a body reader
 * (hl_read_fn), old data and new output through the caller's PatchListener. */
#ifndef HPATCH_LITE_H
#define HPATCH_LITE_H

#include <stdint.h>

#include "patch/hl_types.h"
#include "patch/hpatch_lite_format.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PatchListener PatchListener;

/* Old bytes that a listener holds in memory of its own (see PatchListener's oldSpans). */
#define HPATCH_LITE_OLD_SPANS 2
/* How many of the last ranges taken from the spans are kept, a power of 2. */
#define HPATCH_LITE_OLD_RECENT 4
/* The most ranges taken before the listener is told of them (a build may set it lower). */
#ifndef HPATCH_LITE_OLD_TAKEN_MAX
#define HPATCH_LITE_OLD_TAKEN_MAX ((uint32_t)1 << 30)
#endif

typedef struct PatchOldSpans {
  /* Kept by the listener: span i holds the old bytes [position[i], position[i] + length[i]) at
   * bytes[i]; length 0 holds none. */
  const hl_byte* bytes[HPATCH_LITE_OLD_SPANS];
  uint64_t position[HPATCH_LITE_OLD_SPANS];
  uint32_t length[HPATCH_LITE_OLD_SPANS];
  /* Kept by the patch algorithm about the ranges taken from the spans that tookOld has not been
   * told of, numbered from 1: how many there are, the number of the last one taken from each
   * span (0: none), and where the last few end (oldPos + size), range k at (k - 1) % RECENT. */
  uint32_t taken;
  uint32_t lastTaken[HPATCH_LITE_OLD_SPANS];
  uint64_t recentEnds[HPATCH_LITE_OLD_RECENT];
} PatchOldSpans;

/* What hpatch_lite_patch works through. Callers may embed this record at the start of a larger
 * one of their own; readOld and writeNew get the listener back to reach those fields. */
struct PatchListener {
  void* diffHandle;    /* passed to readDiff */
  hl_read_fn readDiff; /* the body reader (contract in patch/hl_types.h) */
  /* Fills data with exactly size old-file bytes starting at oldPos; false on any failure. */
  hl_bool (*readOld)(PatchListener* listener, uint32_t oldPos, hl_byte* data, uint32_t size);
  /* Appends size bytes to the new file; false on any failure. */
  hl_bool (*writeNew)(PatchListener* listener, const hl_byte* data, uint32_t size);
  /* Optional; null means readOld. Like readOld, but may return where the size bytes already lie
   * instead of copying them to data: memory of the listener's own that stays valid until its next
   * call. Returns data when it filled data, null on any failure. */
  const hl_byte* (*lendOld)(PatchListener* listener, uint32_t oldPos, hl_byte* data, uint32_t size);
  /* Optional, both or neither; null means writeNew. newSpace gives room in the listener's own
   * memory for the next new-file bytes: returns where they go and stores in *size how many fit (1
   * at least); null on any failure. commitNew appends the first size bytes of that room to the new
   * file; false on any failure. The room is asked for again only after it was committed. */
  hl_byte* (*newSpace)(PatchListener* listener, uint32_t* size);
  hl_bool (*commitNew)(PatchListener* listener, uint32_t size);
  /* Optional, both or neither, and only with lendOld; null means every old range goes through
   * lendOld. oldSpans are old bytes the listener holds, current whenever lendOld returns (and
   * before the first call) and valid until its next call. A range whose oldPos lies in a span, the
   * first such, and that this span holds whole, is taken from there instead, and counted in the
   * spans' record. tookOld is told of the ranges counted there before the next lendOld call, when
   * HPATCH_LITE_OLD_TAKEN_MAX of them were taken and when the patch ends; once it returns, the
   * patch algorithm sets taken and lastTaken to 0. So the listener can account for every range in
   * the order lendOld would have seen them. */
  PatchOldSpans* oldSpans;
  void (*tookOld)(PatchListener* listener);
};

/* Reads exactly the header (4 bytes plus the two size fields) through readDiff, so that the reader
 * then stands at the decompressor prefix or, for compress_type 0, at the body. Returns true and
 * stores the three values when the header is well formed. */
hl_bool hpatch_lite_open(void* diffHandle, hl_read_fn readDiff, uint32_t* compress_type,
                         uint32_t* newSize, uint32_t* uncompressSize);

/* Applies the body that listener->readDiff delivers, writing the new file front to back. cache
 * holds cacheSize bytes: the first half (rounded down) takes old data, the second half body
 * input. Returns true when exactly newSize bytes were written and the body never ran dry.
 * Bytes already written stay written on failure. */
hl_bool hpatch_lite_patch(PatchListener* listener, uint32_t newSize, hl_byte* cache,
                          uint32_t cacheSize);

#ifdef __cplusplus
}
#endif

#endif
