// tuz_TStream_decode in one large request against the same stream decoded in requests of random
// sizes (0 included), with an input cache size and raw-reader short deliveries chosen by the input.
// Both decodings must end alike and, where the stream ends, deliver the same bytes.
//
// Input: u16 cacheSize (0 tests the open check), u8 maxChunk (0: unlimited), u16 maxRequest,
// u32 request seed, then the tuz payload: 4-byte dictionary size and the code stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "patch/decompress/tuz_decoder.h"
#include "tests/support/memory_reader.h"

namespace {

constexpr uint32_t kOneShot = uint32_t(1) << 18;  // one-shot request; also the total output cap
constexpr uint32_t kDictCap = uint32_t(1) << 18;  // larger dictionaries are folded below this
constexpr int kMaxCalls = 20000;

// The dictionary starts zeroed (the decoder leaves it as given), so a match that reaches before
// the stream's first byte reads the same zeros in both decodings.
struct Decoder {
  std::vector<hl_byte> memory;
  tuz_TStream stream{};
  hl_test::MemoryReader reader;

  Decoder(const std::vector<uint8_t>& code, uint32_t dictSize, uint32_t cacheSize,
          uint32_t maxChunk)
      : memory(static_cast<size_t>(dictSize) + cacheSize),
        reader(code, maxChunk == 0 ? hl_test::MemoryReader::kNoLimit : maxChunk) {
    if (tuz_TStream_open(&stream, &reader, &hl_test::MemoryReader::read, memory.data(), dictSize,
                         cacheSize) != TUZ_OK)
      abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr_fuzz::FuzzInput in(data, size);
  const uint32_t cacheSize = in.u16();
  const uint32_t maxChunk = in.u8();
  const uint32_t maxRequest = in.u16();
  const uint32_t seed = in.u32();
  const std::vector<uint8_t> payload = in.rest();

  hl_test::MemoryReader prefixReader(payload);
  uint32_t dictSize = tuz_TStream_read_dict_size(&prefixReader, &hl_test::MemoryReader::read);
  if (payload.size() < 4) {
    if (dictSize != 0) abort();
    return 0;
  }
  const std::vector<uint8_t> code(payload.begin() + 4, payload.end());

  tuz_TStream probe{};
  hl_byte scratch[1];
  if (dictSize == 0) {
    if (tuz_TStream_open(&probe, nullptr, &hl_test::MemoryReader::read, scratch, 0, 1) !=
        TUZ_ERR_DICT_SIZE)
      abort();
    return 0;
  }
  if (cacheSize == 0) {
    if (tuz_TStream_open(&probe, nullptr, &hl_test::MemoryReader::read, scratch, 1, 0) !=
        TUZ_ERR_CACHE_SIZE)
      abort();
    return 0;
  }
  if (dictSize > kDictCap) dictSize = (dictSize & (kDictCap - 1)) + 1;

  // One request, with the driver's input cache size.
  Decoder whole(code, dictSize, 8192, 0);
  std::vector<hl_byte> wholeOut(kOneShot);
  uint32_t wholeCount = kOneShot;
  const int wholeResult = tuz_TStream_decode(&whole.stream, wholeOut.data(), &wholeCount);
  if (wholeResult == TUZ_OK && wholeCount != kOneShot) abort();
  if (wholeResult != TUZ_OK && wholeResult != TUZ_STREAM_END &&
      wholeResult != TUZ_ERR_CONTROL_CODE && wholeResult != TUZ_ERR_INPUT_DRY &&
      wholeResult != TUZ_ERR_DISTANCE)
    abort();
  const bool wholeDry = whole.stream.cacheEnd == 0;

  // Many requests; each gets a buffer of exactly its size so that overruns are caught.
  Decoder pieces(code, dictSize, cacheSize, maxChunk);
  std::minstd_rand rng(seed);
  std::vector<hl_byte> piecesOut;
  int result = TUZ_OK;
  bool finished = false;  // the loop met the end or an error before its call or output cap
  for (int call = 0; call < kMaxCalls && piecesOut.size() <= kOneShot; ++call) {
    const uint32_t want = maxRequest == 0 ? 1 : static_cast<uint32_t>(rng() % (maxRequest + 1u));
    std::unique_ptr<hl_byte[]> buf(new hl_byte[want == 0 ? 1 : want]);
    uint32_t count = want;
    result = tuz_TStream_decode(&pieces.stream, buf.get(), &count);
    if (result == TUZ_OK) {
      if (count != want) abort();
    } else if (result == TUZ_STREAM_END) {
      if (count > want) abort();
    } else if (result == TUZ_ERR_EMPTY_REQUEST) {
      if (want != 0) abort();
      continue;
    } else {
      finished = true;
      break;
    }
    piecesOut.insert(piecesOut.end(), buf.get(), buf.get() + count);
    if (result == TUZ_STREAM_END) {
      finished = piecesOut.size() <= kOneShot;
      break;
    }
  }
  if (!finished) return 0;  // stopped by a cap; nothing to compare

  if (wholeResult == TUZ_STREAM_END) {
    // A stream that ran dry may end in a piece's call with "dry" while one request saw the end.
    const bool endedAlike = result == TUZ_STREAM_END || (wholeDry && result == TUZ_ERR_INPUT_DRY);
    if (!endedAlike) abort();
    if (result == TUZ_STREAM_END &&
        (piecesOut.size() != wholeCount ||
         !std::equal(piecesOut.begin(), piecesOut.end(), wholeOut.begin())))
      abort();
  } else if (wholeResult != TUZ_OK) {
    if (result == TUZ_STREAM_END) abort();
    if (!wholeDry && result != wholeResult) abort();
  }
  return 0;
}
