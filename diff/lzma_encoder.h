// LZMA and LZMA2 bodies through liblzma's raw encoders, with the property prefixes.
#ifndef DIFF_LZMA_ENCODER_H
#define DIFF_LZMA_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hldiff {

struct LzmaOptions {
  int level = 9;  // preset 0 to 9
  // Preset 9 with the longest matches and a deep search for them: patch bodies are full of
  // long runs of zero differences, where the longest match length pays most.
  bool bodyTuned = true;
  uint32_t dictSize = uint32_t(512) << 10;  // upper bound; trimmed to the data's length
  // Tries smaller dictionaries after dictSize and keeps the smallest that codes the data no
  // larger than the others: the applier holds the whole dictionary, and a body whose repeats
  // lie close together needs less than its length suggests. Each step codes the data once
  // more. Data up to fitDictionaryUpTo tries the steps down to half the dictionary (measured
  // on the bodies of five program updates of 1 to 5 MiB: a 3.6 MiB one coded smallest with
  // half, and no step below half ever coded smaller); data up to fitBelowHalfUpTo goes on
  // below half, one step at a time, while the steps code no larger.
  bool fitDictionary = false;
  size_t fitDictionaryUpTo = size_t(4) << 20;
  size_t fitBelowHalfUpTo = size_t(1) << 20;
  // Literal context bits, 0 to 4; -1 tries 0 to 3 on a sample of the data and keeps the one
  // that codes it smallest (how much the byte before predicts the next depends on how much
  // of the body is literals rather than difference bytes).
  int literalContextBits = -1;
  // LZMA2 only: data of at least parallelFrom bytes is cut into this many equal segments,
  // coded in parallel; each segment restarts the coder's statistics and dictionary, which
  // costs a little size (measured: half a percent on a 3 MiB sparse body). 1 keeps one segment.
  unsigned segments = 2;
  size_t parallelFrom = size_t(8) << 20;
};

// One byte 5, the five LZMA property bytes, then the raw LZMA stream.
std::vector<uint8_t> lzma_encode(const uint8_t* data, size_t size, const LzmaOptions& options);

// The LZMA2 dictionary property byte, then the raw LZMA2 chunks.
std::vector<uint8_t> lzma2_encode(const uint8_t* data, size_t size, const LzmaOptions& options);

// The dictionary size used for this length: at least 4096, at most options.dictSize.
uint32_t lzma_dict_size_for(size_t size, const LzmaOptions& options);

}  // namespace hldiff

#endif
