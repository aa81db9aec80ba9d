// Assembles tuz streams token by token, placing each flag byte exactly where a decoder first
// needs a bit of it, and keeps the output that the tokens stand for.
#ifndef HL_TEST_TUZ_WRITER_H
#define HL_TEST_TUZ_WRITER_H

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <vector>

#include "patch/hpatch_lite_format.h"

namespace hl_test {

class TuzWriter {
 public:
  using Bytes = std::vector<uint8_t>;

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
    code_.push_back(byte);
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
    code_.insert(code_.end(), bytes.begin(), bytes.end());
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
    bitsLeft_ = 0;
    lastDistance_ = 1;
  }

  void end() {
    control(TUZ_CTRL_END);
    bitsLeft_ = 0;
    lastDistance_ = 1;
  }

  // A control code with any length code (0 and 4 and up are invalid).
  void control(uint32_t lengthCode) {
    bit(0);
    length_code(lengthCode);
    if (afterLiteral_) bit(0);
    code_.push_back(0);
    afterLiteral_ = false;
  }

  // Low-level pieces, for malformed streams.
  void bit(unsigned value) {
    if (bitsLeft_ == 0) {
      flagPos_ = code_.size();
      code_.push_back(0);
      bitsLeft_ = 8;
    }
    code_[flagPos_] |= uint8_t((value & 1u) << (8 - bitsLeft_));
    --bitsLeft_;
  }
  void raw_byte(uint8_t byte) { code_.push_back(byte); }

  void length_code(uint32_t value) {
    unsigned groups = 1;
    while (groups < 31 && value > (2u << groups) - 3u) ++groups;
    uint32_t offset = value - ((1u << groups) - 2u);
    for (unsigned g = groups; g-- > 0;) {
      bit((offset >> g) & 1u);
      bit(g != 0);
    }
  }

  void count_code(uint32_t value) {
    unsigned groups = 1;
    auto first = [](unsigned k) { return uint32_t(((uint64_t(1) << (2 * k)) - 4) / 3); };
    while (groups < 15 && value >= first(groups + 1)) ++groups;
    uint32_t offset = value - first(groups);
    for (unsigned g = groups; g-- > 0;) {
      uint32_t digit = (offset >> (2 * g)) & 3u;
      bit(digit & 1u);
      bit(digit >> 1);
      bit(g != 0);
    }
  }

  void distance_code(uint32_t distance) {
    if (distance < TUZ_BIG_DISTANCE_BASE) {
      code_.push_back(uint8_t(distance));
      return;
    }
    uint32_t rest = distance - TUZ_BIG_DISTANCE_BASE;
    code_.push_back(uint8_t(TUZ_BIG_DISTANCE_BASE | (rest & (TUZ_BIG_DISTANCE_BASE - 1))));
    count_code(rest >> 7);
  }

 private:
  Bytes code_;
  Bytes expected_;
  size_t flagPos_ = 0;
  unsigned bitsLeft_ = 0;
  bool afterLiteral_ = false;
  uint32_t lastDistance_ = 1;
};

}  // namespace hl_test

#endif
