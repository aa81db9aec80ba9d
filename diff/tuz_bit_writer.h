// Writes the tuz byte sequence: flag bits are gathered into flag bytes that are placed, like
// the decoder expects them, at the point where the first of their bits is needed.
#ifndef DIFF_TUZ_BIT_WRITER_H
#define DIFF_TUZ_BIT_WRITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hldiff {

class TuzBitWriter {
 public:
  explicit TuzBitWriter(std::vector<uint8_t>& out) : out_(out) {}
  // Goes on from where other stands, into out, which holds a copy of other's bytes.
  TuzBitWriter(std::vector<uint8_t>& out, const TuzBitWriter& other)
      : out_(out), slot_(other.slot_), used_(other.used_) {}

  void put_bit(unsigned bit) {
    if (used_ == 8) {
      slot_ = out_.size();
      out_.push_back(0);
      used_ = 0;
    }
    out_[slot_] = static_cast<uint8_t>(out_[slot_] | ((bit & 1u) << used_));
    ++used_;
  }

  // A field of n bits, least significant first.
  void put_bits(unsigned value, unsigned n) {
    for (unsigned i = 0; i < n; ++i) put_bit(value >> i);
  }

  void put_byte(uint8_t b) { out_.push_back(b); }

  // The decoder drops the unread bits of its flag byte after a restart code: the next bit opens a
  // new flag byte.
  void skip_flag_bits() { used_ = 8; }

  // Length code: groups of a value bit and a more bit. k groups hold 2^k - 2 .. 2^(k+1) - 3.
  void put_length_code(uint64_t value) {
    unsigned k = length_code_groups(value);
    uint64_t rest = value - ((uint64_t(1) << k) - 2);
    for (unsigned g = k; g-- > 0;) put_bits(((rest >> g) & 1u) | (g != 0 ? 2u : 0u), 2);
  }

  // Count code: groups of a base-4 digit and a more bit. k groups hold
  // (4^k - 4) / 3 .. (4^(k+1) - 4) / 3 - 1.
  void put_count_code(uint64_t value) {
    unsigned k = count_code_groups(value);
    uint64_t rest = value - count_code_base(k);
    for (unsigned g = k; g-- > 0;) put_bits(((rest >> (2 * g)) & 3u) | (g != 0 ? 4u : 0u), 3);
  }

  // Distance: one byte below 128; else 128 + the low seven bits of d - 128, then the rest as a
  // count code.
  void put_distance(uint32_t d) {
    if (d < 128) {
      put_byte(static_cast<uint8_t>(d));
      return;
    }
    uint32_t rest = d - 128;
    put_byte(static_cast<uint8_t>(0x80 | (rest & 0x7F)));
    put_count_code(rest >> 7);
  }

  static unsigned length_code_groups(uint64_t value) {
    unsigned k = 1;
    while (value > (uint64_t(1) << (k + 1)) - 3) ++k;
    return k;
  }
  static uint64_t count_code_base(unsigned k) { return ((uint64_t(1) << (2 * k)) - 4) / 3; }
  static unsigned count_code_groups(uint64_t value) {
    unsigned k = 1;
    while (value >= count_code_base(k + 1)) ++k;
    return k;
  }

 private:
  std::vector<uint8_t>& out_;
  size_t slot_ = 0;
  unsigned used_ = 8;  // no flag byte open yet
};

}  // namespace hldiff

#endif
