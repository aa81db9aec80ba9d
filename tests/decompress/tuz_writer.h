// Assembles tuz streams token by token over the creator's bit writer (which places each flag byte
// where a decoder first needs a bit of it), and keeps the output that the tokens stand for. Unlike
// the creator's encoder it can write any token sequence, also malformed ones.
#ifndef HL_TEST_TUZ_WRITER_H
#define HL_TEST_TUZ_WRITER_H

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <vector>

#include "diff/tuz_bit_writer.h"
#include "patch/hpatch_lite_format.h"

namespace hl_test {

class TuzWriter {
 public:
  using Bytes = std::vector<uint8_t>;

  TuzWriter() : bits_(code_) {}
  TuzWriter(const TuzWriter& other)
      : code_(other.code_),
        expected_(other.expected_),
        bits_(code_, other.bits_),
        afterLiteral_(other.afterLiteral_),
        lastDistance_(other.lastDistance_) {}
  TuzWriter& operator=(const TuzWriter&) = delete;

  const Bytes& code() const { return code_; }
  const Bytes& expected() const { return expected_; }

  // The 4-byte little-endian dictionary size followed by the code stream.
  Bytes with_dict_size(uint32_t dictSize) const {
    Bytes out(TUZ_DICT_SIZE_BYTES + code_.size());
    for (unsigned i = 0; i < TUZ_DICT_SIZE_BYTES; ++i) out[i] = uint8_t(dictSize >> (8 * i));
    std::copy(code_.begin(), code_.end(), out.begin() + TUZ_DICT_SIZE_BYTES);
    return out;
  }

  void literal(uint8_t byte) {
    bit(1);
    bits_.put_byte(byte);
    expected_.push_back(byte);
    afterLiteral_ = true;
  }

  // A match of length bytes at distance; reuse codes it through the reuse bit (the distance must
  // then be the last one, and a reuse bit must be due).
  void match(uint32_t length, uint32_t distance, bool reuse = false) {
    assert(distance >= 1 && distance <= expected_.size());
    bit(0);
    if (reuse) {
      assert(afterLiteral_ && distance == lastDistance_);
      length_code(length - TUZ_MATCH_LENGTH_MIN);
      bit(1);
    } else {
      length_code(length - TUZ_MATCH_LENGTH_MIN - (distance > TUZ_SHORT_DISTANCE_MAX ? 1 : 0));
      if (afterLiteral_) bit(0);
      distance_code(distance);
    }
    for (uint32_t i = 0; i < length; ++i)
      expected_.push_back(expected_[expected_.size() - distance]);
    lastDistance_ = distance;
    afterLiteral_ = false;
  }

  // r + TUZ_LITERAL_BLOCK_MIN literal bytes; bytes.size() must be at least that minimum.
  void literal_block(const Bytes& bytes) {
    assert(bytes.size() >= TUZ_LITERAL_BLOCK_MIN);
    control(TUZ_CTRL_LITERAL_BLOCK);
    count_code(uint32_t(bytes.size() - TUZ_LITERAL_BLOCK_MIN));
    for (uint8_t b : bytes) bits_.put_byte(b);
    expected_.insert(expected_.end(), bytes.begin(), bytes.end());
    afterLiteral_ = true;
  }

  // A run of literal bytes: one literal block when the run is long enough for one, else one
  // literal at a time.
  void literals(const Bytes& bytes) {
    if (bytes.size() >= TUZ_LITERAL_BLOCK_MIN) {
      literal_block(bytes);
    } else {
      for (uint8_t b : bytes) literal(b);
    }
  }

  void restart() {
    control(TUZ_CTRL_RESTART);
    bits_.skip_flag_bits();
    lastDistance_ = 1;
  }

  void end() {
    control(TUZ_CTRL_END);
    bits_.skip_flag_bits();
    lastDistance_ = 1;
  }

  // A control code with any length code (0 and 4 and up are invalid).
  void control(uint32_t lengthCode) {
    bit(0);
    length_code(lengthCode);
    if (afterLiteral_) bit(0);
    bits_.put_byte(0);
    afterLiteral_ = false;
  }

  // Low-level pieces, for malformed streams.
  void bit(unsigned value) { bits_.put_bit(value); }
  void raw_byte(uint8_t byte) { bits_.put_byte(byte); }
  void length_code(uint32_t value) { bits_.put_length_code(value); }
  void count_code(uint32_t value) { bits_.put_count_code(value); }
  void distance_code(uint32_t distance) { bits_.put_distance(distance); }

 private:
  Bytes code_;  // before bits_, which writes into it
  Bytes expected_;
  hldiff::TuzBitWriter bits_;
  bool afterLiteral_ = false;
  uint32_t lastDistance_ = 1;
};

}  // namespace hl_test

#endif
