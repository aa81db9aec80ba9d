// Takes fields from the front of a fuzzer input, so that a seed reads as its fields in order
// followed by the payload. Bytes past the end read as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qr_fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() {
    const uint16_t low = u8();
    return static_cast<uint16_t>(low | (u8() << 8));
  }
  uint32_t u32() {
    const uint32_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
  }

  // Up to n bytes; fewer when the input ends first.
  std::vector<uint8_t> bytes(size_t n) {
    const size_t take = n < left() ? n : left();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(left()); }
  size_t left() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace qr_fuzz
