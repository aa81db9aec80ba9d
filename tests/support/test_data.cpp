#include "tests/support/test_data.h"

#include <algorithm>
#include <random>

namespace hl_test {

Bytes random_bytes(std::size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes sample_data(std::size_t size, uint32_t seed) {
  Bytes out;
  out.reserve(size);
  uint32_t x = seed * 2654435761u + 1u;
  auto next = [&x] {  // xorshift32
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  while (out.size() < size) {
    uint32_t r = next();
    if (out.size() > 16 && (r & 3u) == 0) {
      std::size_t dist = 1 + next() % std::min<std::size_t>(out.size(), 3000);
      std::size_t len = 3 + next() % 40;
      for (std::size_t i = 0; i < len && out.size() < size; ++i)
        out.push_back(out[out.size() - dist]);
    } else {
      out.push_back(static_cast<uint8_t>("the quick brown fox "[r % 20] ^ ((r >> 8) & 1u)));
    }
  }
  return out;
}

Bytes mutate(const Bytes& data, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out = data;
  unsigned edits = 3 + rng() % 6;
  for (unsigned i = 0; i < edits; ++i) {
    std::size_t at = out.empty() ? 0 : rng() % (out.size() + 1);
    std::size_t length = 1 + rng() % 64;
    switch (rng() % 3) {
      case 0:  // replace
        for (std::size_t k = at; k < std::min(out.size(), at + length); ++k)
          out[k] = static_cast<uint8_t>(rng());
        break;
      case 1: {  // insert
        Bytes run = random_bytes(length, rng());
        out.insert(out.begin() + at, run.begin(), run.end());
        break;
      }
      default:  // delete
        out.erase(out.begin() + at, out.begin() + std::min(out.size(), at + length));
        break;
    }
  }
  return out;
}

Bytes with_point_edits(Bytes data, uint32_t seed, int edits) {
  std::mt19937 rng(seed);
  for (int i = 0; i < edits && !data.empty(); ++i) {
    std::size_t at = rng() % data.size();
    switch (rng() % 3) {
      case 0:
        data[at] = static_cast<uint8_t>(rng());
        break;
      case 1:
        data.insert(data.begin() + static_cast<long>(at), static_cast<uint8_t>(rng()));
        break;
      default:
        data.erase(data.begin() + static_cast<long>(at));
        break;
    }
  }
  return data;
}

namespace {

void put_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One block of "code": opcodes from a small alphabet with absolute addresses between them.
Bytes code_block(std::mt19937& rng, std::size_t size, uint32_t base, uint32_t span) {
  Bytes b;
  while (b.size() < size) {
    unsigned kind = rng() % 8;
    if (kind < 2) {
      b.push_back(0xE8);
      put_u32(b, base + rng() % span);
    } else {
      static const uint8_t ops[] = {0x48, 0x89, 0x8B, 0x55, 0xC3, 0x90, 0x31, 0xC0};
      b.push_back(ops[rng() % 8]);
      b.push_back(static_cast<uint8_t>(rng() % 16));
    }
  }
  b.resize(size);
  return b;
}

// Adds delta to every address that follows an 0xE8 opcode.
void shift_addresses(Bytes& b, uint32_t delta) {
  for (std::size_t i = 0; i + 5 <= b.size(); ++i) {
    if (b[i] != 0xE8) continue;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= uint32_t(b[i + 1 + k]) << (8 * k);
    v += delta;
    for (int k = 0; k < 4; ++k) b[i + 1 + k] = static_cast<uint8_t>(v >> (8 * k));
    i += 4;
  }
}

}  // namespace

ProgramPair program_like_pair(std::size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  const std::size_t blockSize = std::max<std::size_t>(64, size / 16);
  std::vector<Bytes> blocks;
  for (std::size_t at = 0; at < size; at += blockSize)
    blocks.push_back(code_block(rng, std::min(blockSize, size - at), 0x400000, 0x100000));
  ProgramPair p;
  for (const Bytes& b : blocks) p.old.insert(p.old.end(), b.begin(), b.end());
  if (blocks.size() >= 4) {
    std::swap(blocks[1], blocks[blocks.size() - 2]);   // a moved block
    blocks.erase(blocks.begin() + 2);                  // a removed one
    blocks.insert(blocks.begin() + blocks.size() / 2,  // an inserted one
                  code_block(rng, blockSize / 2, 0x400000, 0x100000));
  }
  for (std::size_t i = blocks.size() / 3; i < blocks.size(); ++i) shift_addresses(blocks[i], 0x40);
  for (const Bytes& b : blocks) p.neu.insert(p.neu.end(), b.begin(), b.end());
  for (int i = 0; i < 8 && !p.neu.empty(); ++i) p.neu[rng() % p.neu.size()] ^= 0x5A;
  return p;
}

}  // namespace hl_test
