// Deflate bodies through zlib, in zlib, gzip or raw framing, with the window-bits prefix byte.
#ifndef DIFF_DEFLATE_ENCODER_H
#define DIFF_DEFLATE_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hldiff {

enum class DeflateFraming {
  Zlib,
  Gzip,
  Raw
};

struct DeflateOptions {
  DeflateFraming framing = DeflateFraming::Zlib;
  int level = 9;        // zlib's 0 to 9
  int windowBits = 15;  // 9 to 15; the applier reserves 2^windowBits bytes for the window
};

// The prefix byte (window bits in zlib's signed convention) followed by the deflate stream.
std::vector<uint8_t> deflate_encode(const uint8_t* data, size_t size,
                                    const DeflateOptions& options);

// The smallest window of 9 to 15 bits that spans min(dictSize, size) bytes.
int deflate_window_bits_for(size_t size, uint64_t dictSize);

}  // namespace hldiff

#endif
