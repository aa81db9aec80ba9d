#include "tests/diff/test_support.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "patch/hpatchi_core.h"

namespace difftest {

Bytes random_bytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

namespace {

void put_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One block of "code": opcodes from a small alphabet with absolute addresses between them.
Bytes code_block(std::mt19937& rng, size_t size, uint32_t base, uint32_t span) {
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
  for (size_t i = 0; i + 5 <= b.size(); ++i) {
    if (b[i] != 0xE8) continue;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= uint32_t(b[i + 1 + k]) << (8 * k);
    v += delta;
    for (int k = 0; k < 4; ++k) b[i + 1 + k] = static_cast<uint8_t>(v >> (8 * k));
    i += 4;
  }
}

}  // namespace

Pair program_like_pair(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  const size_t blockSize = std::max<size_t>(64, size / 16);
  std::vector<Bytes> blocks;
  for (size_t at = 0; at < size; at += blockSize)
    blocks.push_back(code_block(rng, std::min(blockSize, size - at), 0x400000, 0x100000));
  Pair p;
  for (const Bytes& b : blocks) p.old.insert(p.old.end(), b.begin(), b.end());
  if (blocks.size() >= 4) {
    std::swap(blocks[1], blocks[blocks.size() - 2]);   // a moved block
    blocks.erase(blocks.begin() + 2);                  // a removed one
    blocks.insert(blocks.begin() + blocks.size() / 2,  // an inserted one
                  code_block(rng, blockSize / 2, 0x400000, 0x100000));
  }
  for (size_t i = blocks.size() / 3; i < blocks.size(); ++i) shift_addresses(blocks[i], 0x40);
  for (const Bytes& b : blocks) p.neu.insert(p.neu.end(), b.begin(), b.end());
  for (int i = 0; i < 8 && !p.neu.empty(); ++i) p.neu[rng() % p.neu.size()] ^= 0x5A;
  return p;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "difftest-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_bytes(const std::filesystem::path& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

Bytes read_bytes(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int apply_patch(const std::filesystem::path& old, const std::filesystem::path& patch,
                const std::filesystem::path& out) {
  const hpatchi_TOutput output = {nullptr, stderr};
  return hpatchi_run_to(&output, old.c_str(), patch.c_str(), out.c_str());
}

}  // namespace difftest
