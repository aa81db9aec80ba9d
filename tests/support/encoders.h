// Compressed test bodies made by the libraries' own encoders.
#ifndef HL_TEST_ENCODERS_H
#define HL_TEST_ENCODERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hl_test {

using Bytes = std::vector<uint8_t>;

// deflate in the framing that windowBits selects (9..15 zlib, 25..31 gzip, -9..-15 raw).
Bytes zlib_compress(const Bytes& data, int windowBits, int level = 6);

struct LzmaEncoded {
  Bytes props;  // the SDK's 5-byte properties
  Bytes data;   // raw range-coded data
};
// The LZMA SDK's LzmaEncode, with or without the end marker.
LzmaEncoded lzma_compress(const Bytes& data, uint32_t dictSize, bool endMark, int lc = 3,
                          int lp = 0, int pb = 2, int level = 5);

// liblzma's raw LZMA2 encoder with the dictionary that dictProp names; its output ends with
// the LZMA2 end byte 0.
Bytes lzma2_compress(const Bytes& data, uint8_t dictProp, uint32_t preset = 6);

uint32_t lzma2_dict_size(uint8_t dictProp);

// What liblzma's raw LZMA2 decoder makes of a stream, with the dictionary that dictProp names:
// the bytes it delivered (at most outLimit) and whether the stream is complete, that is whether
// it ends with the end byte or would end with one appended. A stream that liblzma rejects, or
// that stops inside a chunk, is not complete.
struct Lzma2Reference {
  Bytes out;
  bool complete = false;
};
Lzma2Reference lzma2_reference_decode(const Bytes& stream, uint8_t dictProp, size_t outLimit);

// Our LZMA2 chunk decoder on its own, handing out one byte at a time, so that it shows every byte
// it made before an error (at most outLimit). complete: it reached the end byte, or the input
// ended between chunks. starved: it stopped inside an LZMA chunk for want of packed bytes; LzmaDec
// then holds back the last few symbols, which it decodes only once their input is all there,
// while liblzma decodes them as far as the bytes go.
struct Lzma2Stepwise {
  Bytes out;
  bool complete = false;
  bool starved = false;
};
Lzma2Stepwise lzma2_decode_stepwise(uint8_t dictProp, const Bytes& stream, size_t outLimit);

// Offsets of the chunks of a well-formed LZMA2 stream, up to the end byte or the stream's end.
std::vector<size_t> lzma2_chunk_offsets(const Bytes& stream);

}  // namespace hl_test

#endif
