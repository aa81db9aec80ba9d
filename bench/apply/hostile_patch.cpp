// Writes the hostile pair of the apply benchmark: an old file and a patch whose covers are one
// byte long and jump to and fro between two old positions far apart, so that every cover is a
// read of one byte at a position that differs from the last one.
//
//   hostile_patch OLD NEW PATCH [MiB [none|tuz|zlib|lzma|lzma2]]   defaults: 20 MiB of output,
//   lzma2
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "diff/body_encoder.h"
#include "diff/packed_number.h"
#include "diff/patch_header.h"

namespace {

constexpr uint32_t kOldSize = 8u << 20;
constexpr uint32_t kFar = 6u << 20;  // the second position; the first is 1000

bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: hostile_patch OLD NEW PATCH [MiB [none|tuz|zlib|lzma|lzma2]]\n", stderr);
    return 1;
  }
  uint32_t newSize = (argc > 4 ? uint32_t(std::strtoul(argv[4], nullptr, 10)) : 20u) << 20;
  auto compression = hldiff::compression_from_name(argc > 5 ? argv[5] : "lzma2");
  if (!compression) {
    std::fputs("unknown compression\n", stderr);
    return 1;
  }

  std::vector<uint8_t> old(kOldSize);
  uint32_t x = 2463534242u;
  for (auto& b : old) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x);
  }

  // Cover i reads old[near + k] or old[far + k] with k = i / 2 modulo 1 MiB: both positions creep
  // forward by a byte every second cover, and the old position jumps at every cover.
  const uint32_t nearPos = 1000;
  std::vector<uint8_t> neu(newSize);
  std::vector<uint8_t> body;
  body.reserve(size_t(newSize) * 7);
  hldiff::append_packed(body, newSize);
  uint32_t oldPos = 0;
  for (uint32_t i = 0; i < newSize; ++i) {
    uint32_t target = (i % 2 == 0 ? nearPos : kFar) + (i / 2) % (1u << 20);
    bool back = target < oldPos;
    hldiff::append_packed(body, 1);
    hldiff::append_cover_tag(body, true, back, back ? oldPos - target : target - oldPos);
    hldiff::append_packed(body, 0);
    neu[i] = old[target];
    oldPos = target + 1;
  }

  hldiff::EncodeOptions options;
  options.compression = *compression;
  hldiff::EncodedBody encoded = hldiff::encode_body(body, options);
  uint32_t uncompressSize = encoded.type == hldiff::CompressType::None ? 0 : uint32_t(body.size());
  std::vector<uint8_t> patch = hldiff::write_patch_header(encoded.type, newSize, uncompressSize);
  patch.insert(patch.end(), encoded.payload.begin(), encoded.payload.end());
  if (!write_file(argv[1], old) || !write_file(argv[2], neu) || !write_file(argv[3], patch)) {
    std::perror("hostile_patch");
    return 1;
  }
  std::printf("old %u bytes, new %u bytes, body %zu bytes, patch %zu bytes\n", kOldSize, newSize,
              body.size(), patch.size());
  return 0;
}
