// The LZMA2 plugin's own cases (our chunk decoder over LzmaDec), on liblzma's encodings and on
// hand-made chunk sequences, next to liblzma's raw decoder on the same bytes. What every plugin
// must do is in plugin_suite_test.cpp.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "patch/decompress/lzma2_plugin.h"
#include "tests/support/encoders.h"
#include "tests/decompress/plugin_harness.h"

namespace {

using hl_test::Bytes;
using Plugin = hl_test::PluginRun<_lzma2_TStream>;

const hl_TPlugin* const kLzma2 = hl_plugin_for(HPATCH_LITE_COMPRESS_LZMA2);

// Decodes through the plugin in requests of `request` bytes with an input cache of `cache` bytes.
Plugin::Result decode(uint8_t prop, const Bytes& stream, uint32_t uncompressSize,
                      uint32_t request = 4096, uint32_t cache = 8192) {
  Plugin run(kLzma2, hl_test::tail(Bytes{prop}, stream));
  if (!run.size(uncompressSize) || !run.open(cache)) return {false, {}};
  return run.read_all(request);
}

// The plugin agrees with liblzma: a complete stream gives liblzma's bytes and not one more; any
// other stream fails, and what the plugin delivered before failing is what liblzma delivered. The
// decoder alone makes exactly liblzma's bytes up to the end or the error.
void expect_as_reference(uint8_t prop, const Bytes& stream, const std::string& what,
                         uint32_t request = 1, uint32_t cache = 7) {
  auto ref = hl_test::lzma2_reference_decode(stream, prop, 8u << 20);
  const uint32_t refSize = uint32_t(ref.out.size());
  auto own = hl_test::lzma2_decode_stepwise(prop, stream, ref.out.size() + 1);
  EXPECT_EQ(ref.complete, own.complete) << what;
  if (own.starved) {
    EXPECT_LE(own.out.size(), ref.out.size()) << what;
    EXPECT_TRUE(std::equal(own.out.begin(), own.out.end(), ref.out.begin())) << what;
  } else {
    EXPECT_TRUE(hl_test::same_bytes(ref.out, own.out))
        << what << ": the bytes made before the end or the error";
  }
  if (ref.complete) {
    auto r = decode(prop, stream, refSize, request, cache);
    EXPECT_TRUE(r.ok) << what;
    EXPECT_TRUE(hl_test::same_bytes(ref.out, r.out)) << what;
  }
  auto over = decode(prop, stream, refSize + 1, request, cache);
  EXPECT_FALSE(over.ok) << what
                        << (ref.complete ? ": more than the stream holds" : ": liblzma refuses it");
  EXPECT_LE(over.out.size(), ref.out.size()) << what;
  EXPECT_TRUE(std::equal(over.out.begin(), over.out.end(), ref.out.begin())) << what;
}

// Hand-made LZMA2 chunks.
struct Chunks {
  Bytes s;
  void put16(uint32_t v) {
    s.push_back(uint8_t(v >> 8));
    s.push_back(uint8_t(v));
  }
  Chunks& copy(const Bytes& data, bool resetDic) {
    s.push_back(resetDic ? 0x01 : 0x02);
    put16(uint32_t(data.size() - 1));
    s.insert(s.end(), data.begin(), data.end());
    return *this;
  }
  // An LZMA chunk with reset level 0 to 3; props < 0 writes no properties byte. The deltas
  // misstate the sizes in the header.
  Chunks& lzma(unsigned reset, size_t unpacked, const Bytes& packed, int props = -1,
               int unpackedDelta = 0, int packedDelta = 0) {
    uint32_t u = uint32_t(unpacked + unpackedDelta - 1);
    s.push_back(uint8_t(0x80 | reset << 5 | u >> 16));
    put16(u & 0xFFFF);
    put16(uint32_t(packed.size() + packedDelta - 1));
    if (props >= 0) s.push_back(uint8_t(props));
    s.insert(s.end(), packed.begin(), packed.end());
    return *this;
  }
  Chunks& byte(uint8_t b) {
    s.push_back(b);
    return *this;
  }
};

int props_byte(int lc, int lp, int pb) { return (pb * 5 + lp) * 9 + lc; }

// Range-coded data of a fresh LZMA coder without end marker: a valid LZMA chunk after a state
// reset. With lc = lp = pb = 0 nothing in it depends on the bytes or the position before it.
Bytes payload(const Bytes& data, int lc = 0, int lp = 0, int pb = 0, bool endMark = false) {
  return hl_test::lzma_compress(data, 1 << 16, endMark, lc, lp, pb).data;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kA = hl_test::sample_data(3000, 1);
const Bytes kB = hl_test::sample_data(5000, 2);
const Bytes kC = hl_test::sample_data(700, 3);
const Bytes kD = hl_test::sample_data(4000, 4);
const Bytes kE = hl_test::sample_data(2500, 5);

TEST(Lzma2Size, RejectedPrefixes) {
  for (uint8_t prop : {41, 42, 255}) {
    Plugin run(kLzma2, Bytes{prop});
    EXPECT_FALSE(run.size(5)) << int(prop);
  }
}

// The size step's figure is exactly what open takes from a roomy pool; open succeeds with M and
// fails with M - 1. The dictionary is the one that the property names.
TEST(Lzma2Memory, MeasuredNeedOpensAndOneByteLessFails) {
  struct Case {
    uint8_t prop;
    size_t dict;
  };
  for (Case c : {Case{0, 4096}, Case{1, 6144}, Case{2, 8192}, Case{16, 1u << 20},
                 Case{17, 3u << 19}, Case{22, 8u << 20}}) {
    Plugin fits(kLzma2, Bytes{c.prop, 0x00});
    ASSERT_TRUE(fits.size(5)) << int(c.prop);
    EXPECT_EQ(1u, fits.reader.pos) << "nothing of the stream is read";
    EXPECT_EQ(nullptr, fits.record->decoder.decoder.dic) << "the dry run's addresses are forgotten";
    ASSERT_TRUE(fits.open(64)) << int(c.prop);
    EXPECT_EQ(c.dict, fits.record->decoder.decoder.dicBufSize) << int(c.prop);
    Plugin roomy(kLzma2, Bytes{c.prop});
    ASSERT_TRUE(roomy.size(5));
    const uint64_t pool = c.dict + 100000;
    ASSERT_TRUE(roomy.open(64, pool));
    EXPECT_EQ(pool - roomy.record->feed.poolLeft, roomy.memSize) << int(c.prop);
    Plugin tight(kLzma2, Bytes{c.prop});
    ASSERT_TRUE(tight.size(5));
    EXPECT_FALSE(tight.open(64, tight.memSize - 1)) << int(c.prop);
  }
  Plugin largest(kLzma2, Bytes{40});
  ASSERT_TRUE(largest.size(5));
  EXPECT_GT(largest.memSize, uint64_t(0xFFFFFFFFu));
}

TEST(Lzma2Read, LiblzmaBodiesForSeveralDictionariesAndPresetsWithAndWithoutEndByte) {
  Bytes data = hl_test::sample_data(120000, 31);
  for (uint8_t prop : {0, 1, 16, 19}) {
    for (uint32_t preset : {0u, 6u, 9u}) {
      Bytes stream = hl_test::lzma2_compress(data, prop, preset);
      ASSERT_EQ(0, stream.back());
      for (bool endByte : {true, false}) {
        Bytes s = stream;
        if (!endByte) s.pop_back();
        std::string what =
            std::to_string(prop) + " " + std::to_string(preset) + " " + std::to_string(endByte);
        auto ref = hl_test::lzma2_reference_decode(s, prop, data.size() + 1);
        EXPECT_TRUE(ref.complete) << what;
        EXPECT_EQ(data, ref.out) << what;
        for (uint32_t request : {1u, 999u, 120000u}) {
          if (request == 1 && preset != 6) continue;
          auto r = decode(prop, s, uint32_t(data.size()), request, request == 1 ? 3 : 8192);
          EXPECT_TRUE(r.ok) << what << " " << request;
          EXPECT_TRUE(hl_test::same_bytes(data, r.out)) << what << " " << request;
        }
      }
    }
  }
}

// Incompressible stretches become uncompressed chunks, and more than 64 KiB packed
// makes LZMA chunks that carry the state on.
TEST(Lzma2Read, MultiChunkBodiesWithUncompressedChunks) {
  Bytes data = hl_test::sample_data(300000, 36);
  Bytes noise = hl_test::random_bytes(300000, 3);
  data.insert(data.begin() + 200000, noise.begin(), noise.end());
  Bytes tailText = hl_test::sample_data(700000, 37);
  data.insert(data.end(), tailText.begin(), tailText.end());
  const uint8_t prop = 18;
  Bytes stream = hl_test::lzma2_compress(data, prop, 6);
  unsigned seen[4] =
      {};  // uncompressed, LZMA chunks that continue, that reset the state, the dictionary
  for (size_t at : hl_test::lzma2_chunk_offsets(stream)) {
    const unsigned reset = (stream[at] >> 5) & 3;
    ++seen[stream[at] < 0x80 ? 0 : reset == 0 ? 1 : reset == 3 ? 3 : 2];
  }
  EXPECT_GT(seen[0], 1u);
  EXPECT_GT(seen[1], 1u);
  EXPECT_GE(seen[2], 1u);
  EXPECT_EQ(1u, seen[3]);
  for (bool endByte : {true, false}) {
    Bytes s = stream;
    if (!endByte) s.pop_back();
    auto r = decode(prop, s, uint32_t(data.size()), 12288);
    EXPECT_TRUE(r.ok) << endByte;
    EXPECT_TRUE(hl_test::same_bytes(data, r.out)) << endByte;
  }
  auto ref = hl_test::lzma2_reference_decode(stream, prop, data.size() + 1);
  EXPECT_TRUE(ref.complete);
  EXPECT_TRUE(hl_test::same_bytes(data, ref.out));
}

// Without the end byte the input running out between chunks is what ends the stream.
TEST(Lzma2Read, StreamWithoutEndByteShorterThanUncompressSizeFails) {
  Bytes data = hl_test::sample_data(4000, 32);
  Bytes stream = hl_test::lzma2_compress(data, 0);
  stream.pop_back();
  auto r = decode(0, stream, 4001, 100);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(data, r.out);
}

// Every kind of chunk and reset in one stream: a dictionary reset by an uncompressed chunk, new
// properties, a plain uncompressed chunk, a state reset, a second dictionary reset with lc = 3
// and pb = 2, and pb = 4, lp = 4.
TEST(Lzma2Chunks, EveryControlByteCaseDecodesAsLiblzmaDoes) {
  Chunks c;
  c.copy(kA, true)
      .lzma(2, kB.size(), payload(kB), props_byte(0, 0, 0))
      .copy(kC, false)
      .lzma(1, kD.size(), payload(kD))
      .lzma(3, kE.size(), payload(kE, 3, 0, 2), props_byte(3, 0, 2))
      .copy(kC, true)
      .lzma(2, kA.size(), payload(kA, 0, 4, 4), props_byte(0, 4, 4));
  Bytes want = join({kA, kB, kC, kD, kE, kC, kA});
  for (bool endByte : {true, false}) {
    Bytes s = c.s;
    if (endByte) s.push_back(0x00);
    auto ref = hl_test::lzma2_reference_decode(s, 16, want.size() + 1);
    EXPECT_TRUE(ref.complete);
    EXPECT_TRUE(hl_test::same_bytes(want, ref.out));
    for (uint32_t request : {1u, 777u, 100000u}) {
      auto r = decode(16, s, uint32_t(want.size()), request, request == 1 ? 5 : 8192);
      EXPECT_TRUE(r.ok) << endByte << " " << request;
      EXPECT_TRUE(hl_test::same_bytes(want, r.out)) << endByte << " " << request;
    }
  }
  // Bytes after the end byte are not read as chunks.
  Bytes trailing = c.s;
  trailing.insert(trailing.end(), {0x00, 0x03, 0xFF});
  auto r = decode(16, trailing, uint32_t(want.size()));
  EXPECT_TRUE(r.ok);
  expect_as_reference(16, trailing, "bytes after the end byte", 4096, 8192);
  // An empty stream.
  EXPECT_TRUE(decode(0, Bytes{0x00}, 0).ok);
  expect_as_reference(0, Bytes{0x00}, "empty stream");
}

// An LZMA chunk without a state reset right after an uncompressed chunk is accepted, as liblzma
// does: state, reps and probabilities carry on from the last LZMA chunk.
TEST(Lzma2Chunks, ContinuingChunkAfterAnUncompressedOneCarriesTheStateOn) {
  Chunks c;
  c.lzma(3, kB.size(), payload(kB), props_byte(0, 0, 0))
      .copy(kC, false)
      .lzma(0, kD.size(), payload(kD));
  expect_as_reference(16, c.s, "0x80 after 0x02");
  // From liblzma's encoder: its state-resetting chunk after an uncompressed one, turned into a
  // continuing one.
  Bytes data = hl_test::sample_data(100000, 6);
  Bytes noise = hl_test::random_bytes(140000, 4);
  data.insert(data.begin() + 50000, noise.begin(), noise.end());
  Bytes stream = hl_test::lzma2_compress(data, 16);
  bool changed = false;
  uint8_t last = 0xFF;
  for (size_t at : hl_test::lzma2_chunk_offsets(stream)) {
    if (last < 0x80 && ((stream[at] >> 5) & 3) == 1) {
      stream[at] &= 0x9F;
      changed = true;
      break;
    }
    last = stream[at];
  }
  ASSERT_TRUE(changed) << "liblzma's stream has a state reset after an uncompressed chunk";
  expect_as_reference(16, stream, "liblzma's 0xA0 made 0x80", 4096, 8192);
}

// Each faulty chunk sequence fails in both decoders, and the plugin never gets ahead of liblzma.
TEST(Lzma2Chunks, FaultyStreamsFailLikeLiblzma) {
  const Bytes pB = payload(kB);
  std::vector<std::pair<std::string, Bytes>> cases;
  auto add = [&cases](const std::string& what, const Chunks& c) { cases.push_back({what, c.s}); };
  add("0x03 first", Chunks().byte(0x03));
  add("0x7F first", Chunks().byte(0x7F));
  add("0x03 after a chunk", Chunks().copy(kA, true).byte(0x03).copy(kC, false));
  add("0x40 after a chunk", Chunks().copy(kA, true).byte(0x40));
  add("first chunk 0x02", Chunks().copy(kA, false));
  add("first chunk 0x80", Chunks().lzma(0, kB.size(), pB));
  add("first chunk 0xA0", Chunks().lzma(1, kB.size(), pB));
  add("first chunk 0xC0", Chunks().lzma(2, kB.size(), pB, 0));
  add("0x80 after 0x01", Chunks().copy(kA, true).lzma(0, kB.size(), pB));
  add("0xA0 after 0x01", Chunks().copy(kA, true).lzma(1, kB.size(), pB));
  add("0xA0 after 0x01 past an LZMA chunk",
      Chunks().lzma(3, kB.size(), pB, 0).copy(kA, true).lzma(1, kB.size(), pB));
  add("lc + lp = 5", Chunks().lzma(3, kB.size(), payload(kB, 4, 1, 0), props_byte(4, 1, 0)));
  add("lc 8", Chunks().lzma(3, kB.size(), payload(kB, 8, 0, 0), props_byte(8, 0, 0)));
  add("properties byte 225 (pb 5)", Chunks().lzma(3, kB.size(), pB, 225));
  add("properties byte 255", Chunks().lzma(3, kB.size(), pB, 255));
  add("unpacked size 1 short", Chunks().lzma(3, kB.size(), pB, 0, -1));
  add("unpacked size 1 over", Chunks().lzma(3, kB.size(), pB, 0, +1));
  add("packed size 1 short", Chunks().lzma(3, kB.size(), pB, 0, 0, -1));
  Bytes padded = pB;
  padded.push_back(0);
  add("packed size 1 over", Chunks().lzma(3, kB.size(), padded, 0));
  add("packed size 4", Chunks().lzma(3, 1, Bytes{0, 0, 0, 0}, 0));
  add("range coder's first byte not 0", Chunks().lzma(
                                            3, kB.size(),
                                            [&] {
                                              Bytes p = pB;
                                              p[0] = 1;
                                              return p;
                                            }(),
                                            0));
  Bytes marked = payload(kB, 0, 0, 0, true);
  add("end marker inside the chunk", Chunks().lzma(3, kB.size(), marked, 0));
  add("end marker before the chunk's end", Chunks().lzma(3, kB.size() + 1, marked, 0));
  for (const auto& [what, stream] : cases) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(hl_test::lzma2_reference_decode(stream, 16, 1 << 20).complete)
        << "liblzma refuses it too";
    expect_as_reference(16, stream, what);
  }
  // With a 4096-byte dictionary, matches 3000 bytes back are in reach and 5200 bytes back not.
  Bytes twice = join({kA, kA});
  Bytes pTwice = payload(twice);
  EXPECT_TRUE(
      hl_test::lzma2_reference_decode(Chunks().lzma(3, twice.size(), pTwice, 0).s, 0, 1 << 20)
          .complete);
  expect_as_reference(0, Chunks().lzma(3, twice.size(), pTwice, 0).byte(0).s, "3000 back in 4096");
  Bytes far = join({kB, hl_test::sample_data(200, 9), kB});
  Bytes farStream = Chunks().lzma(3, far.size(), payload(far), 0).byte(0).s;
  EXPECT_FALSE(hl_test::lzma2_reference_decode(farStream, 0, 1 << 20).complete);
  EXPECT_TRUE(hl_test::lzma2_reference_decode(farStream, 16, 1 << 20).complete);
  expect_as_reference(0, farStream, "5200 back in 4096");
}

// A stream cut anywhere inside a chunk fails; cut between chunks it holds what came before.
TEST(Lzma2Chunks, StreamsCutInsideAChunkFail) {
  Chunks c;
  c.copy(kA, true)
      .lzma(2, kB.size(), payload(kB), 0)
      .copy(kC, false)
      .lzma(1, kD.size(), payload(kD));
  const Bytes& s = c.s;
  std::vector<size_t> cuts = {1,
                              2,
                              3,
                              4,
                              100,
                              kA.size() + 2,
                              kA.size() + 3,
                              kA.size() + 4,
                              kA.size() + 6,
                              kA.size() + 9,
                              kA.size() + 500,
                              s.size() - 700,
                              s.size() - 20,
                              s.size() - 1};
  for (size_t cut : cuts) {
    Bytes part(s.begin(), s.begin() + cut);
    auto r = decode(16, part, uint32_t(kA.size() + kB.size() + kC.size() + kD.size()), 512);
    EXPECT_FALSE(r.ok) << cut;
    expect_as_reference(16, part, "cut at " + std::to_string(cut), 512, 8192);
  }
}

TEST(Lzma2Read, RandomCorruptionMatchesLiblzma) {
  Bytes data = hl_test::sample_data(20000, 34);
  Bytes stream = hl_test::lzma2_compress(data, 1);
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    Bytes bad = stream;
    for (int i = 0; i < 3; ++i) bad[rng() % bad.size()] ^= uint8_t(1 + rng() % 255);
    expect_as_reference(1, bad, "round " + std::to_string(round), 1 + rng() % 5000,
                        1 + rng() % 300);
  }
}

}  // namespace
