/* The numbers of the hpatch_lite patch format and of its tuz stream, written once for the applier,
 * the creator, the tests and the fuzz models. Constants only, plus the applier's cache split,
 * which the creator needs to shape bodies for the applier's reads. */
#ifndef HPATCH_LITE_FORMAT_H
#define HPATCH_LITE_FORMAT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- header: "hI", compress type, layout byte, newSize, uncompressSize ---- */

/* First two bytes of every patch file: "hI". */
#define HPATCH_LITE_MAGIC_0 0x68
#define HPATCH_LITE_MAGIC_1 0x49
/* Byte 3 AND HPATCH_LITE_VERSION_MASK must equal HPATCH_LITE_VERSION_BITS (format version 1). */
#define HPATCH_LITE_VERSION_MASK 0xC0
#define HPATCH_LITE_VERSION_BITS 0x40
/* The rest of byte 3: the widths of the newSize field (bits 0-2) and of the uncompressSize field
 * (bits 3-5), each at most HPATCH_LITE_SIZE_FIELD_MAX little-endian bytes. */
#define HPATCH_LITE_WIDTH_MASK 7u
#define HPATCH_LITE_UNCOMPRESS_WIDTH_SHIFT 3
#define HPATCH_LITE_SIZE_FIELD_MAX 4u

/* Byte 2: what the body is compressed with. */
enum hpatch_lite_compress_type {
  HPATCH_LITE_COMPRESS_NONE = 0,
  HPATCH_LITE_COMPRESS_TUZ = 1,
  HPATCH_LITE_COMPRESS_ZLIB = 2,
  HPATCH_LITE_COMPRESS_LZMA = 3,
  HPATCH_LITE_COMPRESS_LZMA2 = 4,
  HPATCH_LITE_COMPRESS_TYPE_COUNT = 5 /* types 5 and up are unknown */
};

/* ---- body: packed numbers and cover tags ---- */

/* A packed number: 7 value bits per byte, most significant group first; bit 7 says another byte
 * follows. */
#define HPATCH_LITE_PACKED_MORE 0x80
#define HPATCH_LITE_PACKED_BITS 0x7F

/* A cover tag: plain copy (no difference bytes follow), step backwards, and the step's top bits,
 * continued like a packed number when HPATCH_LITE_TAG_STEP_MORE is set. */
#define HPATCH_LITE_TAG_PLAIN_COPY 0x80
#define HPATCH_LITE_TAG_BACKWARD 0x40
#define HPATCH_LITE_TAG_STEP_MORE 0x20
#define HPATCH_LITE_TAG_STEP_BITS 0x1F

/* ---- the tuz stream: a 4-byte little-endian dictionary size, then the codes ---- */

#define TUZ_DICT_SIZE_BYTES 4u
/* Largest dictionary the applier accepts, and so the largest the creator writes. */
#define TUZ_DICT_SIZE_MAX 0x40000000u
/* A distance below this is one byte; from it on, the byte's low 7 bits and a count code. */
#define TUZ_BIG_DISTANCE_BASE 128u
/* A newly coded distance above this one takes a match one byte longer than its length code says. */
#define TUZ_SHORT_DISTANCE_MAX 2687u
/* A match is its length code plus this many bytes. */
#define TUZ_MATCH_LENGTH_MIN 2u
/* A literal block holds its count code plus this many bytes. */
#define TUZ_LITERAL_BLOCK_MIN 15u

/* The length codes that, at distance 0, are control codes. */
enum tuz_control_code {
  TUZ_CTRL_LITERAL_BLOCK = 1,
  TUZ_CTRL_RESTART = 2,
  TUZ_CTRL_END = 3
};

/* ---- the applier's cache ---- */

/* The cache size S that the applier (hpatchi_run) works with. */
#define HPATCHI_CACHE_SIZE 32768u

/* A compressed body's input cache I: a quarter of S, at least one byte. */
static inline uint32_t hpatchi_input_cache_size(uint32_t cacheSize) {
  return cacheSize < 4 ? 1 : cacheSize / 4;
}

/* The patch cache P: all of S for an uncompressed body; otherwise what I leaves, rounded down to
 * even (nothing when I takes it all). */
static inline uint32_t hpatchi_patch_cache_size(uint32_t cacheSize, int compressed) {
  uint32_t inputSize = hpatchi_input_cache_size(cacheSize);
  if (!compressed) return cacheSize;
  return cacheSize > inputSize ? (cacheSize - inputSize) & ~1u : 0;
}

/* The most the patch algorithm asks of the body reader at once: half of P. */
static inline uint32_t hpatchi_body_refill_size(uint32_t cacheSize, int compressed) {
  return hpatchi_patch_cache_size(cacheSize, compressed) / 2;
}

#ifdef __cplusplus
}
#endif

#endif
