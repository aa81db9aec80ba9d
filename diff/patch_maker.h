// Makes a whole patch from OLD and NEW: covers, body, compression and header.
#ifndef DIFF_PATCH_MAKER_H
#define DIFF_PATCH_MAKER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "diff/body_encoder.h"
#include "diff/cover.h"

namespace hldiff {

// Files the format can describe: positions and sizes are 32-bit.
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

struct MakeOptions {
  EncodeOptions encode;
  ProgressFn progress;  // reports the cover search over NEW
  // Told the name of each step as it starts: "sorting OLD", "matching", "compressing".
  std::function<void(const char* step)> stage;
  // Called once OLD and NEW are no longer read, before the body is compressed: the caller may
  // free them there and leave the memory to the compressor.
  std::function<void()> inputsDone;
  // Told the old-file loads that the read budget plans for the patch's covers: what the applier's
  // window costs reading them in its steps.
  std::function<void(uint64_t loads)> readPlan;
};

// Throws std::length_error when a file is beyond kMaxFileSize.
std::vector<uint8_t> make_patch(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                size_t newSize, const MakeOptions& options);

}  // namespace hldiff

#endif
