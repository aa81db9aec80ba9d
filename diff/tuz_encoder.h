// Encoder of the tuz token stream: literals, matches with reused distances, literal blocks
// and the end code, with flag bits interleaved where the decoder takes them.
#ifndef DIFF_TUZ_ENCODER_H
#define DIFF_TUZ_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/hpatch_lite_format.h"

namespace hldiff {

constexpr uint32_t kTuzMaxDictSize = TUZ_DICT_SIZE_MAX;

struct TuzOptions {
  uint32_t dictSize = uint32_t(1) << 20;  // upper bound; trimmed to the data's length
  int level = 6;                          // 1 (fast) to 9 (smallest)
};

// The 4-byte little-endian dictionary size followed by the code stream that decodes to data.
std::vector<uint8_t> tuz_encode(const uint8_t* data, size_t size, const TuzOptions& options);

// The dictionary size tuz_encode writes for these options and this length.
uint32_t tuz_dict_size_for(size_t size, const TuzOptions& options);

}  // namespace hldiff

#endif
