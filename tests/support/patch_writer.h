// A small hpatch_lite patch writer for tests.
//
//   PatchBuilder b(oldData);
//   b.literal(bytes);            // new bytes stored in the patch as they stand
//   b.cover(oldPos, newBytes);   // new bytes made from old bytes at oldPos (plain copy when equal)
//   b.copy(oldPos, length);      // plain copy of old bytes
//   Bytes patch = b.patch();     // header (compress_type 0) + body; a pending literal run ends up
//                                // in a final cover of length 0
//
// For full control of every field, CoverRecord / write_body / make_header write exactly what they
// are given, also malformed patches. make_patch builds a valid patch for any old/new pair.
#ifndef HL_TEST_PATCH_WRITER_H
#define HL_TEST_PATCH_WRITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/hpatch_lite_format.h"

namespace hl_test {

using Bytes = std::vector<uint8_t>;

// Packed numbers and cover tags come from the creator's writers (diff/packed_number.h); these two
// spell them longer than needed, which the decoder reads and the creator never writes.
// extraLeading zero groups (0x80 bytes) before value's own packed number.
void append_padded_packed(Bytes& out, uint32_t value, unsigned extraLeading);
// The cover tag for step with extraStepBytes more continuation bytes than the step needs.
void append_padded_tag(Bytes& out, uint32_t step, bool back, bool plainCopy,
                       unsigned extraStepBytes);

// Bytes needed for value in a little-endian size field (0 for 0).
unsigned size_field_width(uint32_t value);

struct HeaderFields {
  uint8_t compressType = 0;
  uint32_t newSize = 0;
  unsigned newSizeWidth = 4;  // n, written as given (0 to 7)
  uint32_t uncompressSize = 0;
  unsigned uncompressSizeWidth = 0;                // m, written as given (0 to 7)
  uint8_t versionBits = HPATCH_LITE_VERSION_BITS;  // bits 6 and 7 of byte 3
};

// "hI", compress_type, the layout byte, then n and m bytes of the two sizes little-endian (a width
// above 4 writes zero bytes beyond the value's 4).
Bytes make_header(const HeaderFields& fields);

// One cover exactly as it is written.
struct CoverRecord {
  uint32_t coverLen = 0;
  uint32_t step = 0;
  bool back = false;            // tag bit 6
  bool plainCopy = false;       // tag bit 7; diff is then not written
  unsigned extraStepBytes = 0;  // forces that many more continuation bytes into the tag
  Bytes literal;                // literalLen is its size
  Bytes diff;  // written after the literal unless plainCopy (normally coverLen bytes)
};

// coverCount (covers.size() unless given), then each cover.
Bytes write_body(const std::vector<CoverRecord>& covers);
Bytes write_body(const std::vector<CoverRecord>& covers, uint32_t coverCount);

class PatchBuilder {
 public:
  explicit PatchBuilder(const Bytes& oldData);

  void literal(const Bytes& bytes);
  // New bytes made from the old bytes at oldPos; plain copy when they are equal and allowPlain.
  void cover(uint32_t oldPos, const Bytes& newBytes, bool allowPlain = true);
  void copy(uint32_t oldPos, uint32_t length);
  // Every later tag carries this many extra continuation bytes.
  void set_extra_step_bytes(unsigned count) { extraStepBytes_ = count; }
  // Ends with a cover of length 0 even when no literal is pending.
  void end_with_empty_cover() { forceEmptyCover_ = true; }

  const Bytes& new_data() const { return newData_; }
  std::vector<CoverRecord> covers() const;  // including the final empty cover, if any
  Bytes body() const;
  Bytes patch() const;  // header with the smallest newSize field, then the body

 private:
  void add(CoverRecord record, uint32_t oldPos);

  const Bytes& old_;
  std::vector<CoverRecord> covers_;
  Bytes pending_;
  Bytes newData_;
  uint32_t oldPos_ = 0;
  unsigned extraStepBytes_ = 0;
  bool forceEmptyCover_ = false;
};

// A valid uncompressed patch from oldData to newData with a seeded mix of literal runs, covers
// with difference bytes, plain copies, steps in both directions and long spans.
Bytes make_patch(const Bytes& oldData, const Bytes& newData, uint32_t seed);

}  // namespace hl_test

#endif
