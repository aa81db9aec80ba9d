// The tuz decoder driven directly through its operations over an in-memory raw reader.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "patch/decompress/tuz_decoder.h"
#include "tests/decompress/tuz_writer.h"
#include "tests/support/memory_io.h"
#include "tests/support/same_bytes.h"
#include "tests/support/test_data.h"

namespace {

using hl_test::Bytes;
using hl_test::MemoryReader;
using hl_test::TuzWriter;

// An open decoder over the code stream (without the dictionary-size prefix).
struct TuzFixture {
  MemoryReader reader;
  Bytes memory;
  tuz_TStream stream{};
  TuzFixture(Bytes code, uint32_t dictSize, uint32_t cacheSize,
             uint32_t maxChunk = MemoryReader::kNoLimit)
      : reader(std::move(code), maxChunk), memory(size_t(dictSize) + cacheSize, 0xAA) {
    EXPECT_EQ(TUZ_OK, tuz_TStream_open(&stream, &reader, MemoryReader::read, memory.data(),
                                       dictSize, cacheSize));
  }
};

struct Call {
  int result;
  std::string out;
};

// Decodes in calls of `request` bytes until a result other than 0.
std::vector<Call> decode_in_calls(TuzFixture& f, uint32_t request, int maxCalls = 100000) {
  std::vector<Call> calls;
  for (int i = 0; i < maxCalls; ++i) {
    std::string buf(request, '\0');
    uint32_t count = request;
    int result = tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&buf[0]), &count);
    buf.resize(result == TUZ_OK || result == TUZ_STREAM_END ? count : 0);
    calls.push_back({result, buf});
    if (result != TUZ_OK) break;
  }
  return calls;
}

std::string joined(const std::vector<Call>& calls) {
  std::string all;
  for (const auto& c : calls) all += c.out;
  return all;
}

std::string as_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

const Bytes kExample1 = {0x1B, 0x41, 0x42, 0x02, 0x0C, 0x00};
const Bytes kExample2 = {0x0A, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
                         0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x32, 0x00};

TEST(TuzDictSize, ReadsLittleEndianAndZeroOnShortOrFailedRead) {
  MemoryReader ok(Bytes{0x00, 0x10, 0x00, 0x00, 0x1B});
  EXPECT_EQ(4096u, tuz_TStream_read_dict_size(&ok, MemoryReader::read));
  EXPECT_EQ(4u, ok.pos);  // nothing of the code stream is taken

  MemoryReader big(Bytes{0x01, 0x02, 0x03, 0x84});
  EXPECT_EQ(0x84030201u, tuz_TStream_read_dict_size(&big, MemoryReader::read));

  MemoryReader shortFile(Bytes{0x00, 0x10, 0x00});
  EXPECT_EQ(0u, tuz_TStream_read_dict_size(&shortFile, MemoryReader::read));

  MemoryReader failing(Bytes{0x00, 0x10, 0x00, 0x00});
  failing.failAll = true;
  EXPECT_EQ(0u, tuz_TStream_read_dict_size(&failing, MemoryReader::read));
}

TEST(TuzOpen, RejectsZeroSizesAndChangesNothing) {
  MemoryReader reader;
  Bytes memory(16, 0x5A);
  tuz_TStream stream;
  std::memset(&stream, 0x77, sizeof(stream));
  tuz_TStream before = stream;
  EXPECT_EQ(TUZ_ERR_DICT_SIZE,
            tuz_TStream_open(&stream, &reader, MemoryReader::read, memory.data(), 0, 8));
  EXPECT_EQ(TUZ_ERR_CACHE_SIZE,
            tuz_TStream_open(&stream, &reader, MemoryReader::read, memory.data(), 8, 0));
  EXPECT_EQ(0, std::memcmp(&before, &stream, sizeof(stream)));
  EXPECT_EQ(Bytes(16, 0x5A), memory);
}

TEST(TuzOpen, SetsFieldsAndClearsTheDictionary) {
  MemoryReader reader;
  Bytes memory(12 + 5, 0xAA);
  tuz_TStream stream;
  std::memset(&stream, 0x77, sizeof(stream));
  ASSERT_EQ(TUZ_OK, tuz_TStream_open(&stream, &reader, MemoryReader::read, memory.data(), 12, 5));
  EXPECT_EQ(5u, stream.cacheBegin);
  EXPECT_EQ(5u, stream.cacheEnd);
  EXPECT_EQ(memory.data() + 12, stream.cacheBuf);
  EXPECT_EQ(memory.data(), stream.dictBuf);
  EXPECT_EQ(12u, stream.dictSize);
  EXPECT_EQ(1u, stream.lastDistance);
  EXPECT_EQ(0u, stream.dictWritePos + stream.srcDictPos + stream.srcOutPos + stream.matchLeft +
                    stream.literalLeft + stream.bitBuf + stream.bitCount + stream.afterLiteral);
  EXPECT_EQ(Bytes(12, 0), Bytes(memory.begin(), memory.begin() + 12));
  EXPECT_EQ(0u, reader.calls);  // open reads nothing
}

TEST(TuzWorkedExample, OneLetterPairStream) {
  struct Case {
    uint32_t request;
    std::vector<Call> calls;
  };
  const std::vector<Case> cases = {
      {100, {{1, "ABABABAB"}}},
      {10, {{1, "ABABABAB"}}},
      {3, {{0, "ABA"}, {0, "BAB"}, {1, "AB"}}},
      {1, {{0, "A"}, {0, "B"}, {0, "A"}, {0, "B"}, {0, "A"}, {0, "B"}, {0, "A"}, {1, "B"}}},
  };
  for (const auto& c : cases) {
    for (uint32_t cache : {1u, 8192u}) {
      TuzFixture f(kExample1, 4096, cache);
      auto calls = decode_in_calls(f, c.request);
      ASSERT_EQ(c.calls.size(), calls.size()) << "request " << c.request << " cache " << cache;
      for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(c.calls[i].result, calls[i].result) << "request " << c.request << " call " << i;
        EXPECT_EQ(c.calls[i].out, calls[i].out) << "request " << c.request << " call " << i;
      }
    }
  }
}

TEST(TuzWorkedExample, LiteralBlockCrossingFieldAndReusedDistance) {
  struct Case {
    uint32_t request;
    std::vector<Call> calls;
  };
  const std::vector<Case> cases = {
      {100, {{1, "ABCDEFGHIJKLMNOPPP"}}},
      {10, {{0, "ABCDEFGHIJ"}, {1, "KLMNOPPP"}}},
      {3, {{0, "ABC"}, {0, "DEF"}, {0, "GHI"}, {0, "JKL"}, {0, "MNO"}, {1, "PPP"}}},
  };
  for (const auto& c : cases) {
    TuzFixture f(kExample2, 4096, 1);
    auto calls = decode_in_calls(f, c.request);
    ASSERT_EQ(c.calls.size(), calls.size()) << "request " << c.request;
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(c.calls[i].result, calls[i].result) << "request " << c.request << " call " << i;
      EXPECT_EQ(c.calls[i].out, calls[i].out) << "request " << c.request << " call " << i;
    }
  }
  TuzFixture ones(kExample2, 4096, 1);
  auto calls = decode_in_calls(ones, 1);
  EXPECT_EQ("ABCDEFGHIJKLMNOPPP", joined(calls));
  EXPECT_EQ(18u, calls.size());
  EXPECT_EQ(TUZ_STREAM_END, calls.back().result);
}

TEST(TuzWriterCheck, ReproducesBothWorkedExamples) {
  TuzWriter one;
  one.literal('A');
  one.literal('B');
  one.match(6, 2);
  one.end();
  EXPECT_EQ(kExample1, one.code());

  TuzWriter two;
  Bytes letters;
  for (char c = 'A'; c <= 'P'; ++c) letters.push_back(uint8_t(c));
  two.literal_block(letters);
  two.match(2, 1, true);
  two.end();
  EXPECT_EQ(kExample2, two.code());
}

// Decodes the writer's stream in several request and cache sizes and compares with its output.
void expect_decodes(const TuzWriter& w, uint32_t dictSize, const std::string& what) {
  for (uint32_t request : {1u, 2u, 3u, 7u, 64u, 1000u, 1u << 20}) {
    for (uint32_t cache : {1u, 3u, 8192u}) {
      TuzFixture f(w.code(), dictSize, cache);
      auto calls = decode_in_calls(f, request);
      ASSERT_FALSE(calls.empty());
      EXPECT_EQ(TUZ_STREAM_END, calls.back().result)
          << what << " request " << request << " cache " << cache;
      EXPECT_TRUE(hl_test::same_bytes(w.expected(), joined(calls)))
          << what << " request " << request << " cache " << cache;
    }
  }
}

TEST(TuzTokens, LengthCodesOfOneToFiveGroups) {
  TuzWriter w;
  w.literal('x');
  w.literal('y');
  // Length codes 0..61 cover one to five groups, with groups crossing flag bytes.
  for (uint32_t length = 2; length <= 63; ++length) w.match(length, 2);
  w.end();
  expect_decodes(w, 64, "lengths");
}

TEST(TuzTokens, DistanceFormsAtTheirBorders) {
  for (uint32_t distance : {1u, 127u, 128u, 639u, 640u, 2687u, 2688u, 5000u, 70000u}) {
    TuzWriter w;
    Bytes start = hl_test::sample_data(distance + 10, distance);
    for (size_t i = 0; i < start.size(); i += 40) {
      Bytes chunk(start.begin() + i, start.begin() + std::min(start.size(), i + 40));
      if (chunk.size() >= 15) {
        w.literal_block(chunk);
      } else {
        for (uint8_t b : chunk) w.literal(b);
      }
    }
    w.match(3, distance);
    w.match(9, distance);
    w.literal('z');
    w.match(3, distance, true);
    w.end();
    expect_decodes(w, distance, "distance " + std::to_string(distance));
  }
}

TEST(TuzTokens, NewDistance2688WithLengthCode0GivesThreeBytesReusedGivesTwo) {
  TuzWriter base;
  Bytes start = hl_test::sample_data(2700, 9);
  for (uint8_t b : start) base.literal(b);
  // Hand-coded: length code 0 with a newly coded distance 2688, then a reuse with code 0.
  TuzWriter w = base;
  w.bit(0);
  w.length_code(0);
  w.bit(0);
  w.distance_code(2688);
  w.literal('q');
  w.bit(0);
  w.length_code(0);
  w.bit(1);
  w.end();
  TuzFixture f(w.code(), 4096, 8192);
  std::string got = joined(decode_in_calls(f, 1 << 16));
  std::string want(start.begin(), start.end());
  for (int i = 0; i < 3; ++i) want += char(want[want.size() - 2688]);
  want += 'q';
  for (int i = 0; i < 2; ++i) want += char(want[want.size() - 2688]);
  EXPECT_EQ(want, got);
}

TEST(TuzTokens, LiteralBlockSizesAtCountCodeBorders) {
  // Count codes 0, 3/4, 19/20, 83/84: one to four groups.
  for (uint32_t size : {15u, 18u, 19u, 34u, 35u, 98u, 99u, 400u}) {
    TuzWriter w;
    w.literal_block(hl_test::sample_data(size, size));
    w.match(4, 3);
    w.end();
    expect_decodes(w, 4096, "block " + std::to_string(size));
    // The block's end is exactly where the bytes stop: decoding with the exact size returns 1.
    TuzFixture f(w.code(), 4096, 8192);
    std::string out(size + 4, '\0');
    uint32_t count = size + 4;
    EXPECT_EQ(TUZ_STREAM_END,
              tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
    EXPECT_EQ(size + 4, count);
  }
}

TEST(TuzTokens, RestartInTheMiddleOfAFlagByte) {
  TuzWriter w;
  w.literal('a');
  w.literal('b');
  w.match(5, 2);
  w.restart();  // the rest of this flag byte is skipped
  w.literal('c');
  // After a restart lastDistance is 1: a reuse right after a literal repeats the last byte.
  w.match(4, 1, true);
  w.restart();
  w.match(3, 3);  // no reuse bit after a restart
  w.end();
  EXPECT_EQ("abababacccccccc", as_string(w.expected()));
  expect_decodes(w, 4096, "restart");
}

TEST(TuzTokens, OverlappingMatchRepeatsThePattern) {
  TuzWriter w;
  w.literal('1');
  w.match(7, 1);
  w.literal('2');
  w.literal('3');
  w.match(20, 3);
  w.end();
  EXPECT_EQ(
      "1111111123"
      "12312312312312312312",
      as_string(w.expected()));
  expect_decodes(w, 4096, "overlap");
}

TEST(TuzTokens, OverlappingMatchesOfEveryShortDistanceRepeatTheirPeriod) {
  // Matches longer than their distance, also cut by the calls at any point of a period.
  Bytes text = hl_test::sample_data(40, 9);
  for (uint32_t distance = 1; distance <= 33; ++distance) {
    TuzWriter w;
    for (uint32_t i = 0; i < distance; ++i) w.literal(text[i]);
    w.match(5 * distance + 3, distance);
    w.match(700, distance);
    w.end();
    std::string expected = as_string(w.expected());
    for (size_t i = distance; i < expected.size(); ++i) {
      ASSERT_EQ(expected[i], expected[i - distance]) << "the writer's model, distance " << distance;
    }
    expect_decodes(w, 4096, "distance " + std::to_string(distance));
    for (uint32_t request : {1u, 5u, 64u}) {
      TuzFixture f(w.code(), 4096, 8192);
      EXPECT_EQ(expected, joined(decode_in_calls(f, request)))
          << "distance " << distance << ", requests of " << request;
    }
  }
}

TEST(TuzEdges, DistanceEqualToDictSizeAcceptedOneMoreFails) {
  const uint32_t dictSize = 300;
  TuzWriter ok;
  for (uint8_t b : hl_test::sample_data(dictSize, 5)) ok.literal(b);
  ok.match(10, dictSize);
  ok.end();
  expect_decodes(ok, dictSize, "distance = dictSize");

  TuzWriter bad;
  for (uint8_t b : hl_test::sample_data(dictSize + 1, 5)) bad.literal(b);
  bad.match(10, dictSize + 1);
  bad.end();
  TuzFixture f(bad.code(), dictSize, 8192);
  std::string out(1000, '\0');
  uint32_t count = 1000;
  EXPECT_EQ(TUZ_ERR_DISTANCE,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ(1000u, count);  // left as it was
  TuzFixture again(bad.code(), dictSize, 8192);
  EXPECT_FALSE(tuz_TStream_read(&again.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
}

TEST(TuzEdges, MatchAcrossCallsFromRingAndFromPreviousOutput) {
  TuzWriter w;
  Bytes text = hl_test::sample_data(50, 77);
  for (uint8_t b : text) w.literal(b);
  w.match(40, 30);  // source in the previous call's output when the first call ends inside
  w.match(100, 90);
  w.end();
  for (uint32_t first = 1; first < w.expected().size(); first += 7) {
    TuzFixture f(w.code(), 128, 4);
    std::string out(first, '\0');
    uint32_t count = first;
    ASSERT_EQ(TUZ_OK, tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
    std::string rest = joined(decode_in_calls(f, 13));
    EXPECT_TRUE(hl_test::same_bytes(w.expected(), out + rest)) << "first call " << first;
  }
}

TEST(TuzEdges, CallLongerThanTheDictionaryKeepsItsLastBytes) {
  const uint32_t dictSize = 16;
  TuzWriter w;
  Bytes text = hl_test::sample_data(100, 3);
  w.literal_block(text);
  w.match(30, 16);
  w.match(5, 7);
  w.end();
  // First call takes the block exactly; the matches then read only from the ring.
  for (uint32_t first : {100u, 90u, 17u, 16u}) {
    TuzFixture f(w.code(), dictSize, 8192);
    std::string out(first, '\0');
    uint32_t count = first;
    ASSERT_EQ(TUZ_OK, tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
    if (first == 100) {
      EXPECT_EQ(0, std::memcmp(f.memory.data(), text.data() + 84, 16));
      EXPECT_EQ(0u, f.stream.dictWritePos);
    }
    std::string rest = joined(decode_in_calls(f, 1000));
    EXPECT_TRUE(hl_test::same_bytes(w.expected(), out + rest)) << "first call " << first;
  }
  expect_decodes(w, dictSize, "small ring");
}

TEST(TuzEdges, ZeroRequestReturns24AndKeepsThePendingToken) {
  TuzFixture f(kExample1, 4096, 8192);
  std::string out(8, '\0');
  uint32_t count = 0;
  EXPECT_EQ(TUZ_ERR_EMPTY_REQUEST,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ(0u, count);
  count = 2;
  ASSERT_EQ(TUZ_OK, tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ("AB", out.substr(0, 2));
  // The match header is read ahead now; a zero request leaves it pending.
  count = 0;
  EXPECT_EQ(TUZ_ERR_EMPTY_REQUEST,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ(6u, f.stream.matchLeft);
  count = 8;
  EXPECT_EQ(TUZ_STREAM_END,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ(6u, count);
  EXPECT_EQ("ABABAB", out.substr(0, 6));
}

TEST(TuzEdges, RequestEndingRightBeforeTheEndCodeReturnsOneWithFullCount) {
  TuzFixture f(kExample1, 4096, 8192);
  std::string out(8, '\0');
  uint32_t count = 8;
  EXPECT_EQ(TUZ_STREAM_END,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ(8u, count);
  EXPECT_EQ("ABABABAB", out);
}

TEST(TuzEdges, StreamWithoutEndCodeRunsDryWith20EvenWhenTheBytesAreRight) {
  TuzWriter w;
  for (char c : std::string("hello")) w.literal(uint8_t(c));
  w.match(6, 5);
  TuzFixture f(w.code(), 4096, 8192);
  std::string out(11, '\0');
  uint32_t count = 11;
  EXPECT_EQ(TUZ_ERR_INPUT_DRY,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ("hellohelloh", out);
  EXPECT_FALSE(tuz_TStream_read(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
}

// The end code's flag bits sit in a flag byte before the last literal; its distance byte 0 is the
// stream's last byte. Cut that byte off and the dry input reads it as 0: no end, but 20.
TEST(TuzEdges, EndCodeCutBeforeItsDistanceByteRunsDry) {
  TuzWriter w;
  w.literal('a');
  w.end();
  Bytes cut = w.code();
  ASSERT_EQ(0, cut.back());
  cut.pop_back();
  TuzFixture f(cut, 4096, 8192);
  std::string out(10, '\0');
  uint32_t count = 10;
  EXPECT_EQ(TUZ_ERR_INPUT_DRY,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ(10u, count) << "an error leaves the count alone";
  TuzFixture whole(w.code(), 4096, 8192);
  count = 10;
  EXPECT_EQ(TUZ_STREAM_END,
            tuz_TStream_decode(&whole.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  EXPECT_EQ(1u, count);
}

TEST(TuzEdges, InvalidControlCodes) {
  for (uint32_t code : {0u, 4u, 5u, 13u}) {
    TuzWriter w;
    w.literal('a');
    w.control(code);
    w.literal('b');
    w.end();
    TuzFixture f(w.code(), 4096, 8192);
    std::string out(10, '\0');
    uint32_t count = 10;
    EXPECT_EQ(TUZ_ERR_CONTROL_CODE,
              tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count))
        << code;
    EXPECT_EQ(10u, count);
  }
  // Cut off before the distance byte: the missing byte reads as 0, the input is dry: 20.
  TuzWriter cut;
  cut.literal('a');
  cut.bit(0);
  cut.length_code(0);
  cut.bit(0);
  TuzFixture f(cut.code(), 4096, 8192);
  std::string out(10, '\0');
  uint32_t count = 10;
  EXPECT_EQ(TUZ_ERR_INPUT_DRY,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
}

TEST(TuzEdges, EmptyInputIsDry) {
  TuzFixture f(Bytes{}, 4096, 8192);
  std::string out(4, '\0');
  uint32_t count = 4;
  EXPECT_EQ(TUZ_ERR_INPUT_DRY,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  // A dry input stays dry: later refills ask for 0 bytes.
  count = 4;
  EXPECT_EQ(TUZ_ERR_INPUT_DRY,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
  ASSERT_GE(f.reader.asked.size(), 2u);
  EXPECT_EQ(8192u, f.reader.asked.front());
  EXPECT_EQ(0u, f.reader.asked.back());
}

TEST(TuzEdges, MatchBeforeTheFirstByteYieldsZeros) {
  TuzWriter w;
  w.literal('A');
  w.literal('B');
  w.bit(0);
  w.length_code(2);  // 4 bytes
  w.bit(0);
  w.distance_code(5);  // reaches 3 bytes before the stream's start
  w.end();
  TuzFixture f(w.code(), 64, 8192);  // memory was filled with 0xAA before open
  std::string got = joined(decode_in_calls(f, 100));
  EXPECT_EQ(std::string("AB\0\0\0A", 6), got);
}

TEST(TuzEdges, ShortReaderDeliveriesShrinkLaterRefillsAndOutputStaysRight) {
  TuzWriter w;
  Bytes text = hl_test::sample_data(3000, 11);
  for (size_t i = 0; i < text.size(); i += 100) {
    Bytes chunk(text.begin() + i, text.begin() + i + 100);
    w.literal_block(chunk);
    w.match(20, 1 + (i % 97));
  }
  w.end();
  for (uint32_t chunk : {1u, 5u, 333u}) {
    TuzFixture f(w.code(), 8192, 1000, chunk);
    EXPECT_TRUE(hl_test::same_bytes(w.expected(), joined(decode_in_calls(f, 250)))) << chunk;
    ASSERT_GE(f.reader.asked.size(), 2u);
    EXPECT_EQ(1000u, f.reader.asked[0]);
    for (size_t i = 1; i < f.reader.asked.size(); ++i) EXPECT_LE(f.reader.asked[i], chunk);
  }
}

TEST(TuzEdges, ReaderClaimingMoreThanAskedIsHeldToTheCache) {
  TuzWriter w;
  for (uint8_t b : hl_test::sample_data(5000, 12)) w.literal(b);
  w.end();
  TuzFixture f(w.code(), 4096, 64);
  f.reader.overReport = 1000;
  EXPECT_TRUE(hl_test::same_bytes(w.expected(), joined(decode_in_calls(f, 100))));
}

TEST(TuzEdges, ReaderReturningFalseIsDry) {
  TuzFixture f(kExample1, 4096, 8192);
  f.reader.failAll = true;
  std::string out(4, '\0');
  uint32_t count = 4;
  EXPECT_EQ(TUZ_ERR_INPUT_DRY,
            tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&out[0]), &count));
}

// Random token sequences against the writer's own model, in random request sizes.
TEST(TuzRandom, RandomStreamsDecodeLikeTheModel) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 40; ++round) {
    const uint32_t dictSize = 1u << (4 + rng() % 12);
    TuzWriter w;
    bool afterLiteral = false;
    uint32_t last = 1;
    for (int t = 0; t < 400; ++t) {
      uint32_t kind = rng() % 10;
      size_t have = w.expected().size();
      if (kind < 4 || have == 0) {
        w.literal(uint8_t(rng()));
        afterLiteral = true;
      } else if (kind < 5) {
        Bytes block(15 + rng() % 100);
        for (auto& b : block) b = uint8_t(rng());
        w.literal_block(block);
        afterLiteral = true;
      } else if (kind < 6) {
        w.restart();
        afterLiteral = false;
        last = 1;
      } else {
        uint32_t maxDist = uint32_t(std::min<size_t>(have, dictSize));
        bool reuse = afterLiteral && last <= maxDist && (rng() % 3 == 0);
        uint32_t dist = reuse ? last : 1 + rng() % maxDist;
        uint32_t minLen = (!reuse && dist > 2687) ? 3 : 2;
        w.match(minLen + rng() % 300, dist, reuse);
        last = dist;
        afterLiteral = false;
      }
    }
    w.end();
    uint32_t cache = 1 + rng() % 64;
    TuzFixture f(w.code(), dictSize, cache, 1 + rng() % 50);
    std::string got;
    int result = TUZ_OK;
    while (result == TUZ_OK) {
      uint32_t request = 1 + rng() % 700;
      std::string buf(request, '\0');
      uint32_t count = request;
      result = tuz_TStream_decode(&f.stream, reinterpret_cast<hl_byte*>(&buf[0]), &count);
      if (result == TUZ_OK || result == TUZ_STREAM_END) got += buf.substr(0, count);
    }
    EXPECT_EQ(TUZ_STREAM_END, result) << "round " << round;
    EXPECT_TRUE(hl_test::same_bytes(w.expected(), got)) << "round " << round;
  }
}

// Garbage input must never make the decoder touch memory outside its buffers.
TEST(TuzRandom, GarbageNeverEscapesTheBuffers) {
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    Bytes junk(1 + rng() % 200);
    for (auto& b : junk) b = uint8_t(rng());
    TuzFixture f(junk, 1 + rng() % 600, 1 + rng() % 16);
    int result = TUZ_OK;
    for (int calls = 0; calls < 50 && result == TUZ_OK; ++calls) {
      uint32_t request = rng() % 300;
      Bytes buf(request + 1);
      uint32_t count = request;
      result = tuz_TStream_decode(&f.stream, buf.data(), &count);
      if (result == TUZ_STREAM_END) {
        EXPECT_LE(count, request);
      }
    }
  }
}

}  // namespace
