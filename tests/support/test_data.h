// Seeded test data: the same size and seed give the same bytes on every run and platform.
#ifndef HL_TEST_TEST_DATA_H
#define HL_TEST_TEST_DATA_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hl_test {

using Bytes = std::vector<uint8_t>;

// Uniform bytes (std::mt19937), which no encoder can shrink.
Bytes random_bytes(std::size_t size, uint32_t seed);

// Text-like bytes with repeats at distances up to 3000, so that encoders find matches.
Bytes sample_data(std::size_t size, uint32_t seed);

// A copy of data with 3 to 8 seeded changes: replaced, inserted and deleted runs of up to 64 bytes.
Bytes mutate(const Bytes& data, uint32_t seed);

// A copy of data with `edits` single-byte changes: one byte replaced, inserted or deleted each.
Bytes with_point_edits(Bytes data, uint32_t seed, int edits);

// Two builds of a program: blocks of code holding absolute addresses, then in neu a block
// inserted, one removed, one moved, every later address shifted and a few bytes changed.
struct ProgramPair {
  Bytes old, neu;
};
ProgramPair program_like_pair(std::size_t size, uint32_t seed);

}  // namespace hl_test

#endif
