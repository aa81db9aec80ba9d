// The hpatch_lite format and algorithm through in-memory readers and listeners.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "diff/packed_number.h"
#include "patch/hpatch_lite.h"
#include "tests/support/memory_io.h"
#include "tests/support/patch_writer.h"
#include "tests/support/test_data.h"

using hl_test::ApplyResult;
using hl_test::Bytes;
using hl_test::CoverRecord;
using hl_test::HeaderFields;
using hl_test::MemoryListener;
using hl_test::MemoryReader;

namespace {

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

const Bytes kDigits = bytes_of("0123456789");

// The 22-byte example patch: ten digits become "ab2345Z789!".
const Bytes kExamplePatch = {0x68, 0x49, 0x00, 0x41, 0x0B, 0x03, 0x04, 0x82, 0x02, 0x61, 0x62,
                             0x03, 0x00, 0x01, 0x5A, 0x01, 0x01, 0x01, 0x00, 0x00, 0x01, 0x21};

// Runs hpatch_lite_patch on a bare body (no header) with the listener's recordings kept.
struct BodyRun {
  Bytes old;
  Bytes body;
  MemoryReader reader;
  MemoryListener listener;
  bool ok = false;
  BodyRun(Bytes oldData, Bytes bodyBytes, uint32_t maxChunk = MemoryReader::kNoLimit)
      : old(std::move(oldData)),
        body(std::move(bodyBytes)),
        reader(body, maxChunk),
        listener(old, reader) {}
  bool run(uint32_t newSize, uint32_t cacheSize) {
    std::vector<hl_byte> cache(std::max<uint32_t>(cacheSize, 1));
    ok = hpatch_lite_patch(&listener.base, newSize, cache.data(), cacheSize) != 0;
    return ok;
  }
};

}  // namespace

TEST(HpatchLiteExample, AppliesByteForByte) {
  ApplyResult r = hl_test::apply_in_memory(kDigits, kExamplePatch, 24576);
  ASSERT_TRUE(r.opened);
  EXPECT_EQ(r.compressType, 0u);
  EXPECT_EQ(r.newSize, 11u);
  EXPECT_EQ(r.uncompressSize, 0u);
  EXPECT_TRUE(r.patched);
  EXPECT_EQ(r.newData, (Bytes{0x61, 0x62, 0x32, 0x33, 0x34, 0x35, 0x5A, 0x37, 0x38, 0x39, 0x21}));
}

TEST(HpatchLiteExample, WriterProducesTheSameBytes) {
  hl_test::PatchBuilder b(kDigits);
  b.literal(bytes_of("ab"));
  b.copy(2, 4);
  b.literal(bytes_of("Z"));
  b.cover(6, bytes_of("789"));
  b.literal(bytes_of("!"));
  EXPECT_EQ(b.patch(), kExamplePatch);
}

TEST(HpatchLiteExample, CallsTheListenerCoverByCover) {
  MemoryReader reader(kExamplePatch);
  MemoryListener listener(kDigits, reader);
  uint32_t type = 9, newSize = 0, uncompressSize = 9;
  ASSERT_TRUE(hpatch_lite_open(&reader, MemoryReader::read, &type, &newSize, &uncompressSize));
  EXPECT_EQ(reader.pos, 5u);  // exactly the header was read
  hl_byte cache[64];
  ASSERT_TRUE(hpatch_lite_patch(&listener.base, newSize, cache, sizeof cache));
  EXPECT_EQ(listener.writeSizes, (std::vector<uint32_t>{2, 4, 1, 3, 1}));
  EXPECT_EQ(listener.readSizes, (std::vector<uint32_t>{4, 3}));
}

// The creator's writers spell numbers and tags as short as they go (tests/diff checks them); the
// longer spellings that the tests below feed the decoder are checked here.
TEST(PackedNumbers, PaddedSpellingsLeadWithZeroGroups) {
  Bytes out;
  hl_test::append_padded_packed(out, 5, 2);
  hl_test::append_padded_packed(out, 300, 1);
  hl_test::append_padded_packed(out, 7, 0);
  EXPECT_EQ(out, (Bytes{0x80, 0x80, 0x05, 0x80, 0x82, 0x2C, 0x07}));
  Bytes tags;
  hl_test::append_padded_tag(tags, 5, false, false, 1);
  hl_test::append_padded_tag(tags, 3, true, true, 2);
  hl_test::append_padded_tag(tags, 128, false, false, 1);
  hl_test::append_padded_tag(tags, 128, true, false, 0);
  EXPECT_EQ(tags, (Bytes{0x20, 0x05, 0xE0, 0x80, 0x03, 0x20, 0x81, 0x00, 0x61, 0x00}));
}

// ---- header ----

TEST(HpatchLiteOpen, EmptySizeFieldsReadNothingMoreAndNoCoversSucceed) {
  Bytes patch = {0x68, 0x49, 0x00, 0x40, 0x00};
  MemoryReader reader(patch);
  uint32_t type = 1, newSize = 1, uncompressSize = 1;
  ASSERT_TRUE(hpatch_lite_open(&reader, MemoryReader::read, &type, &newSize, &uncompressSize));
  EXPECT_EQ(newSize, 0u);
  EXPECT_EQ(uncompressSize, 0u);
  EXPECT_EQ(reader.pos, 4u);
  ApplyResult r = hl_test::apply_in_memory({}, patch, 64);
  EXPECT_TRUE(r.patched);
  EXPECT_TRUE(r.newData.empty());
}

TEST(HpatchLiteOpen, ReadsSizesOfEveryWidthLittleEndian) {
  for (unsigned n = 0; n <= 4; ++n) {
    for (unsigned m = 0; m <= 4; ++m) {
      HeaderFields f;
      f.compressType = 0xAB;
      f.newSize = 0x89ABCDEFu;
      f.newSizeWidth = n;
      f.uncompressSize = 0x01234567u;
      f.uncompressSizeWidth = m;
      Bytes patch = hl_test::make_header(f);
      patch.push_back(0x77);  // first byte after the header
      MemoryReader reader(patch);
      uint32_t type = 0, newSize = 0, uncompressSize = 0;
      ASSERT_TRUE(hpatch_lite_open(&reader, MemoryReader::read, &type, &newSize, &uncompressSize));
      uint64_t newMask = n == 4 ? 0xFFFFFFFFu : ((1u << (8 * n)) - 1);
      uint64_t uncompressMask = m == 4 ? 0xFFFFFFFFu : ((1u << (8 * m)) - 1);
      EXPECT_EQ(type, 0xABu);
      EXPECT_EQ(newSize, 0x89ABCDEFu & newMask) << n << "/" << m;
      EXPECT_EQ(uncompressSize, 0x01234567u & uncompressMask) << n << "/" << m;
      EXPECT_EQ(reader.pos, 4u + n + m);
    }
  }
}

TEST(HpatchLiteOpen, ShortSizeFieldGivesAValueOfFewerBytes) {
  Bytes patch = {0x68, 0x49, 0x00, 0x42, 0x05};  // n = 2 but one byte left
  MemoryReader reader(patch);
  uint32_t type = 0, newSize = 0, uncompressSize = 0;
  ASSERT_TRUE(hpatch_lite_open(&reader, MemoryReader::read, &type, &newSize, &uncompressSize));
  EXPECT_EQ(newSize, 5u);
}

TEST(HpatchLiteOpen, RejectsMalformedHeaders) {
  const Bytes bad[] = {
      {},
      {0x68},
      {0x68, 0x49, 0x00},
      {0x69, 0x49, 0x00, 0x40},
      {0x68, 0x48, 0x00, 0x40},
      {0x68, 0x49, 0x00, 0x45, 1, 2, 3, 4, 5},        // n = 5
      {0x68, 0x49, 0x00, 0x68, 1, 2, 3, 4, 5},        // m = 5
      {0x68, 0x49, 0x00, 0x47, 1, 2, 3, 4, 5, 6, 7},  // n = 7
      {0x68, 0x49, 0x00, 0xC0},                       // version 3
      {0x68, 0x49, 0x00, 0x80},                       // version 2
      {0x68, 0x49, 0x00, 0x00},                       // version 0
  };
  for (const Bytes& patch : bad) {
    MemoryReader reader(patch);
    uint32_t type = 0, newSize = 0, uncompressSize = 0;
    EXPECT_FALSE(hpatch_lite_open(&reader, MemoryReader::read, &type, &newSize, &uncompressSize))
        << "size " << patch.size();
  }
}

namespace {
hl_bool failing_reader(void*, hl_byte*, uint32_t* count) {
  *count = 0;
  return hl_FALSE;
}
}  // namespace

TEST(HpatchLiteOpen, FailsWhenTheReaderFails) {
  uint32_t type = 0, newSize = 0, uncompressSize = 0;
  EXPECT_FALSE(hpatch_lite_open(nullptr, failing_reader, &type, &newSize, &uncompressSize));
  MemoryReader reader({0x68, 0x49, 0x00, 0x41});  // the 4 header bytes, then false
  reader.failAtEnd = true;
  EXPECT_FALSE(hpatch_lite_open(&reader, MemoryReader::read, &type, &newSize, &uncompressSize));
  EXPECT_EQ(reader.calls, 2u);
}

// ---- body ----

TEST(HpatchLitePatch, TinyCachesFailWithoutReading) {
  for (uint32_t cacheSize : {0u, 1u}) {
    BodyRun run({}, {0x00});
    EXPECT_FALSE(run.run(0, cacheSize));
    EXPECT_EQ(run.reader.calls, 0u);
  }
  BodyRun two({}, {0x00});
  EXPECT_TRUE(two.run(0, 2));
}

TEST(HpatchLitePatch, EmptyBodyRunsDryEvenForAnEmptyNewFile) {
  BodyRun run({}, {});
  EXPECT_FALSE(run.run(0, 64));
  ApplyResult r = hl_test::apply_in_memory({}, {0x68, 0x49, 0x00, 0x40}, 64);
  EXPECT_TRUE(r.opened);
  EXPECT_FALSE(r.patched);
}

TEST(HpatchLitePatch, FinalEmptyCoverCarriesTheTail) {
  std::vector<CoverRecord> covers(2);
  covers[0].coverLen = 3;
  covers[0].step = 1;
  covers[0].plainCopy = true;
  covers[1].literal = bytes_of("tail");
  BodyRun run(kDigits, hl_test::write_body(covers));
  ASSERT_TRUE(run.run(7, 64));
  EXPECT_EQ(run.listener.newData, bytes_of("123tail"));
}

TEST(HpatchLitePatch, EmptyCoverBeforeTheLastFailsAfterItsLiteral) {
  std::vector<CoverRecord> covers(2);
  covers[0].literal = bytes_of("xy");
  covers[1].coverLen = 2;
  covers[1].plainCopy = true;
  BodyRun run(kDigits, hl_test::write_body(covers));
  EXPECT_FALSE(run.run(4, 64));
  EXPECT_EQ(run.listener.newData, bytes_of("xy"));
}

TEST(HpatchLitePatch, PlainCopyConsumesNoDifferenceBytes) {
  std::vector<CoverRecord> covers(2);
  covers[0].coverLen = 4;
  covers[0].plainCopy = true;
  covers[0].diff = {9, 9, 9, 9};  // not written for a plain copy
  covers[1].coverLen = 2;
  covers[1].diff = {1, 1};
  Bytes body = hl_test::write_body(covers);
  // coverCount, then cover 1: len, tag, literalLen; cover 2 directly after.
  EXPECT_EQ(body, (Bytes{0x02, 0x04, 0x80, 0x00, 0x02, 0x00, 0x00, 0x01, 0x01}));
  BodyRun run(kDigits, body);
  ASSERT_TRUE(run.run(6, 64));
  EXPECT_EQ(run.listener.newData, bytes_of("012356"));
}

TEST(HpatchLitePatch, StepsMoveBothWaysAndZeroContinues) {
  hl_test::PatchBuilder b(kDigits);
  b.copy(5, 3);  // forward 5
  b.copy(8, 2);  // step 0
  b.copy(1, 2);  // back 9
  b.copy(0, 1);  // back 3
  std::vector<CoverRecord> covers = b.covers();
  ASSERT_EQ(covers.size(), 4u);
  EXPECT_FALSE(covers[0].back);
  EXPECT_EQ(covers[0].step, 5u);
  EXPECT_EQ(covers[1].step, 0u);
  EXPECT_TRUE(covers[2].back);
  EXPECT_EQ(covers[2].step, 9u);
  ApplyResult r = hl_test::apply_in_memory(kDigits, b.patch(), 64);
  ASSERT_TRUE(r.patched);
  EXPECT_EQ(r.newData, bytes_of("5678912"
                                "0"));
}

TEST(HpatchLitePatch, OldPositionsWrapModulo32Bits) {
  // Back 1 from position 0 is 0xFFFFFFFF, which the old data does not have.
  CoverRecord back;
  back.coverLen = 1;
  back.step = 1;
  back.back = true;
  back.plainCopy = true;
  BodyRun bad(kDigits, hl_test::write_body({back}));
  EXPECT_FALSE(bad.run(1, 64));
  EXPECT_EQ(bad.listener.readSizes, (std::vector<uint32_t>{1}));
  // From 10, forward 0xFFFFFFFF wraps round to 9.
  std::vector<CoverRecord> covers(2);
  covers[0].coverLen = 2;
  covers[0].step = 8;
  covers[0].plainCopy = true;
  covers[1].coverLen = 1;
  covers[1].step = 0xFFFFFFFFu;
  covers[1].plainCopy = true;
  BodyRun good(kDigits, hl_test::write_body(covers));
  ASSERT_TRUE(good.run(3, 64));
  EXPECT_EQ(good.listener.newData, bytes_of("899"));
}

TEST(HpatchLitePatch, TagContinuationBytesExtendTheStep) {
  Bytes old = hl_test::random_bytes(70000, 1);
  for (unsigned extra = 0; extra <= 3; ++extra) {
    hl_test::PatchBuilder b(old);
    b.set_extra_step_bytes(extra);
    b.copy(40, 3);               // step 40: needs one continuation byte
    b.copy(65000, 10);           // step 64957: two
    b.cover(2, Bytes{1, 2, 3});  // back
    // Small halves put the step's bytes across refills at every offset.
    for (uint32_t cacheSize : {256u, 20u, 22u, 24u, 26u, 28u, 30u}) {
      ApplyResult r = hl_test::apply_in_memory(old, b.patch(), cacheSize);
      ASSERT_TRUE(r.patched) << extra << " " << cacheSize;
      EXPECT_EQ(r.newData, b.new_data()) << extra << " " << cacheSize;
    }
  }
}

TEST(HpatchLitePatch, NonMinimalPackedNumbersAreRead) {
  Bytes body;
  hl_test::append_padded_packed(body, 1, 3);  // coverCount
  hl_test::append_padded_packed(body, 2, 2);  // coverLen
  hldiff::append_cover_tag(body, true, false, 1);
  hl_test::append_padded_packed(body, 1, 4);  // literalLen
  body.push_back('L');
  BodyRun run(kDigits, body);
  ASSERT_TRUE(run.run(3, 64));
  EXPECT_EQ(run.listener.newData, bytes_of("L12"));
}

TEST(HpatchLitePatch, CoverBeyondTheOldDataFailsThroughReadOld) {
  std::vector<CoverRecord> covers(1);
  covers[0].coverLen = 3;
  covers[0].step = 8;
  covers[0].plainCopy = true;
  BodyRun run(kDigits, hl_test::write_body(covers));
  EXPECT_FALSE(run.run(3, 64));
  EXPECT_EQ(run.listener.readSizes, (std::vector<uint32_t>{3}));
  EXPECT_TRUE(run.listener.newData.empty());
}

TEST(HpatchLitePatch, BytesAfterTheLastCoverAreIgnoredAndNotRead) {
  Bytes body = hl_test::write_body({});
  ASSERT_EQ(body, Bytes{0x00});
  hl_test::PatchBuilder b(kDigits);
  b.copy(3, 4);
  body = b.body();
  size_t used = body.size();
  Bytes trailing = hl_test::random_bytes(100000, 5);
  body.insert(body.end(), trailing.begin(), trailing.end());
  BodyRun run(kDigits, body);
  ASSERT_TRUE(run.run(4, 64));  // half = 32
  EXPECT_EQ(run.listener.newData, bytes_of("3456"));
  EXPECT_EQ(run.reader.calls, 1u);
  EXPECT_EQ(run.reader.pos, 32u);
  EXPECT_LT(used, 32u);
}

TEST(HpatchLitePatch, LengthsShortOfNewSizeFailAfterWriting) {
  hl_test::PatchBuilder b(kDigits);
  b.copy(0, 5);
  b.literal(bytes_of("abc"));
  BodyRun run(kDigits, b.body());
  EXPECT_FALSE(run.run(9, 64));
  EXPECT_EQ(run.listener.newData, bytes_of("01234abc"));
  BodyRun exact(kDigits, b.body());
  EXPECT_TRUE(exact.run(8, 64));
}

TEST(HpatchLitePatch, NothingIsWrittenPastNewSize) {
  hl_test::PatchBuilder b(kDigits);
  b.copy(0, 5);
  b.literal(bytes_of("abc"));
  BodyRun literalBeyond(kDigits, b.body());
  EXPECT_FALSE(literalBeyond.run(7, 64));
  EXPECT_EQ(literalBeyond.listener.newData, bytes_of("01234"));
  BodyRun coverBeyond(kDigits, b.body());
  EXPECT_FALSE(coverBeyond.run(0, 64));
  EXPECT_TRUE(coverBeyond.listener.newData.empty());
}

TEST(HpatchLitePatch, CoverLengthsThatWrapBackToNewSizeFail) {
  // Two covers of 2^31 + 1 and 2^31 + 2 bytes would wrap the new position round to 3; the first
  // one is refused before anything is read or written.
  Bytes body;
  hldiff::append_packed(body, 2);
  hldiff::append_packed(body, 0x80000001u);
  hldiff::append_cover_tag(body, true, false, 0);
  hldiff::append_packed(body, 0);
  hldiff::append_packed(body, 0x80000002u);
  hldiff::append_cover_tag(body, true, false, 0);
  hldiff::append_packed(body, 0);
  BodyRun run(kDigits, body);
  EXPECT_FALSE(run.run(3, 64));
  EXPECT_TRUE(run.listener.newData.empty());
}

TEST(HpatchLitePatch, EndlessPackedNumberEndsTheBody) {
  // Ten continuation bytes of zero groups still form a number; an endless run of them (which a
  // compressed body can produce for ever) makes the body count as run dry.
  Bytes tolerated;
  hl_test::append_padded_packed(tolerated, 0, 10);  // coverCount 0
  BodyRun ok(kDigits, tolerated);
  EXPECT_TRUE(ok.run(0, 64));

  Bytes endless(40, 0xFF);
  BodyRun run(kDigits, endless);
  EXPECT_FALSE(run.run(0, 256));
  EXPECT_TRUE(run.listener.newData.empty());
}

TEST(HpatchLitePatch, LiteralThatWrapsTheNewPositionFailsBeforeWriting) {
  Bytes body;
  hldiff::append_packed(body, 2);
  hldiff::append_packed(body, 1);  // cover 1: one byte, plain copy
  hldiff::append_cover_tag(body, true, false, 0);
  hldiff::append_packed(body, 0);
  hldiff::append_packed(body, 0);  // cover 2: coverLen 0
  hldiff::append_cover_tag(body, false, false, 0);
  hldiff::append_packed(body, 0xFFFFFFFFu);  // literalLen: 1 + this wraps
  body.push_back('x');
  BodyRun run(kDigits, body);
  EXPECT_FALSE(run.run(1, 64));
  EXPECT_EQ(run.listener.writeSizes, (std::vector<uint32_t>{1}));
}

TEST(HpatchLitePatch, LiteralLengthUpToTheTopIsAllowed) {
  // One cover whose literal claims 2^32 - 1 bytes: no wrap, the body runs dry instead.
  Bytes body;
  hldiff::append_packed(body, 1);
  hldiff::append_packed(body, 0);
  hldiff::append_cover_tag(body, false, false, 0);
  hldiff::append_packed(body, 0xFFFFFFFFu);
  body.insert(body.end(), {'a', 'b'});
  BodyRun run(kDigits, body);
  EXPECT_FALSE(run.run(0xFFFFFFFFu, 64));
  EXPECT_EQ(run.listener.newData, bytes_of("ab"));
}

TEST(HpatchLitePatch, DryInputFailsLiteralsDifferencesAndPlainCopies) {
  {  // literal run cut short
    Bytes body = {0x01, 0x00, 0x00, 0x05, 'a', 'b'};
    BodyRun run(kDigits, body);
    EXPECT_FALSE(run.run(5, 64));
    EXPECT_EQ(run.listener.newData, bytes_of("ab"));
  }
  {  // difference bytes cut short
    Bytes body = {0x01, 0x04, 0x00, 0x00, 0x01, 0x01};
    BodyRun run(kDigits, body);
    EXPECT_FALSE(run.run(4, 64));
    EXPECT_EQ(run.listener.newData, bytes_of("12"));
  }
  {  // a plain copy after the input ran dry inside the literal length
    Bytes body = {0x01, 0x03, 0x80};
    BodyRun run(kDigits, body);
    EXPECT_FALSE(run.run(5, 64));
    EXPECT_TRUE(run.listener.readSizes.empty());
  }
  {  // a number cut off: the cover reads as length 0, and the run fails at the end
    Bytes body = {0x01, 0x80};
    BodyRun run(kDigits, body);
    EXPECT_FALSE(run.run(0, 64));
  }
}

TEST(HpatchLitePatch, PlainCopyRightAtTheEndOfTheDataSucceeds) {
  // The body is fully consumed, but fill stays at the last delivery: not dry.
  Bytes body = {0x01, 0x0A, 0x80, 0x00};
  BodyRun run(kDigits, body);
  ASSERT_TRUE(run.run(10, 8));  // half 4: the whole body is one refill
  EXPECT_EQ(run.listener.newData, kDigits);
  EXPECT_EQ(run.listener.readSizes, (std::vector<uint32_t>{4, 4, 2}));
}

TEST(HpatchLitePatch, ListenerFailuresFailThePatch) {
  hl_test::PatchBuilder b(kDigits);
  b.literal(bytes_of("abc"));
  b.copy(0, 5);
  {
    BodyRun run(kDigits, b.body());
    run.listener.failWriteAfter = 4;
    EXPECT_FALSE(run.run(8, 64));
    EXPECT_EQ(run.listener.newData, bytes_of("abc"));
  }
  {
    BodyRun run(Bytes(kDigits.begin(), kDigits.begin() + 4), b.body());
    EXPECT_FALSE(run.run(8, 64));
  }
}

TEST(HpatchLitePatch, LentOldBytesAreUsedAndNeverWrittenTo) {
  const Bytes old = hl_test::random_bytes(5000, 21);
  hl_test::PatchBuilder b(old);
  Bytes changed(old.begin() + 100, old.begin() + 3100);
  for (size_t i = 0; i < changed.size(); i += 7) changed[i] ^= 0x3C;
  b.cover(100, changed);
  b.copy(4000, 900);
  b.literal(bytes_of("tail"));
  b.copy(7, 1);
  const uint32_t newSize = static_cast<uint32_t>(b.new_data().size());
  for (uint32_t cacheSize : {64u, 1000u, 32768u}) {
    BodyRun run(old, b.body());
    run.listener.lend_old();
    ASSERT_TRUE(run.run(newSize, cacheSize)) << cacheSize;
    EXPECT_EQ(run.listener.newData, b.new_data()) << cacheSize;
    EXPECT_EQ(run.old, old) << cacheSize;
    EXPECT_GE(run.listener.lendCalls, 3u);  // both kinds of answer
    EXPECT_EQ(run.listener.lendCalls, run.listener.readSizes.size());
    for (uint32_t size : run.listener.readSizes) EXPECT_LE(size, cacheSize / 2);
  }
  BodyRun shortOld(Bytes(old.begin(), old.begin() + 4500), b.body());
  shortOld.listener.lend_old();
  EXPECT_FALSE(shortOld.run(newSize, 1000));  // the lent range past the old data fails
}

// Ranges taken from the listener's spans and ranges lent by it line up, in order, with the ranges
// a listener without spans is asked for; only ranges that the first span holding their position
// holds whole are taken, and the listener hears of them before the next lend and at the end.
TEST(HpatchLitePatch, OldRangesTakenFromTheSpansAreToldInOrder) {
  const Bytes old = hl_test::random_bytes(6000, 41);
  hl_test::PatchBuilder b(old);
  std::mt19937 random(3);
  for (int i = 0; i < 400; ++i) {
    uint32_t pos = random() % 5900;
    uint32_t length = 1 + random() % (i % 9 == 0 ? 90 : 12);
    if (i % 5 == 0) {
      Bytes changed(old.begin() + pos, old.begin() + pos + length);
      changed[0] ^= 0x41;
      b.cover(pos, changed);
    } else {
      b.copy(pos, length);
    }
    if (i % 7 == 0) b.literal(bytes_of("lit"));
  }
  const uint32_t newSize = static_cast<uint32_t>(b.new_data().size());
  bool fullBatch = false;
  for (uint32_t cacheSize : {40u, 1000u, 32768u}) {
    BodyRun plain(old, b.body());
    ASSERT_TRUE(plain.run(newSize, cacheSize));
    BodyRun spans(old, b.body());
    spans.listener.lend_spans(64);
    ASSERT_TRUE(spans.run(newSize, cacheSize)) << cacheSize;
    ASSERT_EQ(spans.listener.newData, b.new_data()) << cacheSize;
    const MemoryListener& l = spans.listener;
    EXPECT_EQ(l.lendsTheSpansHeld, 0u) << cacheSize;
    size_t range = 0;
    size_t lent = 0;
    auto lends_up_to = [&](size_t count) {
      for (; lent < count; ++lent, ++range) {
        ASSERT_LT(range, plain.listener.readPositions.size());
        EXPECT_EQ(l.readPositions[lent], plain.listener.readPositions[range]);
        EXPECT_EQ(l.readSizes[lent], plain.listener.readSizes[range]);
      }
    };
    size_t taken = 0;
    for (size_t f = 0; f < l.told.size(); ++f) {
      const ::PatchOldSpans& told = l.told[f];
      lends_up_to(l.lentBefore[f]);
      ASSERT_GT(told.taken, 0u);
      ASSERT_LE(told.taken, HPATCH_LITE_OLD_TAKEN_MAX);
      fullBatch = fullBatch || told.taken == HPATCH_LITE_OLD_TAKEN_MAX;
      ASSERT_LE(range + told.taken, plain.listener.readPositions.size());
      // Each range from the span that the rule names; lastTaken and the ends as they were taken.
      uint32_t last[HPATCH_LITE_OLD_SPANS] = {};
      for (uint32_t k = 1; k <= told.taken; ++k, ++range) {
        uint32_t pos = plain.listener.readPositions[range];
        uint32_t size = plain.listener.readSizes[range];
        int span = hl_test::spans_holder(told, pos, size);
        ASSERT_GE(span, 0) << range;
        last[span] = k;
        if (k + HPATCH_LITE_OLD_RECENT > told.taken) {
          EXPECT_EQ(told.recentEnds[(k - 1) % HPATCH_LITE_OLD_RECENT], uint64_t(pos) + size);
        }
      }
      for (unsigned i = 0; i < HPATCH_LITE_OLD_SPANS; ++i) EXPECT_EQ(told.lastTaken[i], last[i]);
      taken += told.taken;
    }
    lends_up_to(l.lendCalls);
    EXPECT_EQ(range, plain.listener.readPositions.size()) << cacheSize;
    EXPECT_GT(taken, 0u) << cacheSize;
    EXPECT_GT(l.lendCalls, 0u) << cacheSize;
    EXPECT_EQ(l.spans.taken, 0u) << cacheSize;
  }
  // The build with small batches (see CMakeLists.txt) must have filled some of them.
  if (HPATCH_LITE_OLD_TAKEN_MAX <= 8) {
    EXPECT_TRUE(fullBatch);
  }
}

TEST(HpatchLitePatch, NewBytesPlacedInTheListenersRoomsAreCommittedInOrder) {
  const Bytes old = hl_test::random_bytes(5000, 31);
  hl_test::PatchBuilder b(old);
  b.literal(bytes_of("head"));
  Bytes changed(old.begin() + 10, old.begin() + 2010);
  for (size_t i = 0; i < changed.size(); i += 5) changed[i] ^= 0x77;
  b.cover(10, changed);
  for (uint32_t i = 0; i < 40; ++i) b.copy(4000 - 97 * i, 1 + i % 9);  // short jumps
  b.copy(0, 3000);
  b.literal(bytes_of("tail"));
  const uint32_t newSize = static_cast<uint32_t>(b.new_data().size());
  for (uint32_t limit : {1u, 3u, 8u, 9u, 5000u}) {
    for (bool lend : {false, true}) {
      BodyRun run(old, b.body(), 97);
      run.listener.lend_room(limit);
      if (lend) run.listener.lend_old();
      ASSERT_TRUE(run.run(newSize, 200)) << limit;
      EXPECT_EQ(run.listener.newData, b.new_data()) << limit;
      EXPECT_TRUE(run.listener.writeSizes.empty());
      for (uint32_t size : run.listener.commitSizes) EXPECT_GE(size, 1u);
    }
  }
}

TEST(HpatchLitePatch, BytesPlacedBeforeAFailureAreCommitted) {
  hl_test::PatchBuilder b(kDigits);
  b.literal(bytes_of("abc"));
  b.copy(0, 5);
  {
    BodyRun run(Bytes(kDigits.begin(), kDigits.begin() + 4), b.body());  // the copy fails
    run.listener.lend_room(100);
    EXPECT_FALSE(run.run(8, 64));
    EXPECT_EQ(run.listener.newData, bytes_of("abc"));
  }
  {
    BodyRun run(kDigits, b.body());
    run.listener.lend_room(2);
    run.listener.failWriteAfter = 4;  // rooms "a", "bc", "0", then "12" fails
    EXPECT_FALSE(run.run(8, 64));
    EXPECT_EQ(run.listener.newData, bytes_of("abc0"));
    EXPECT_EQ(run.listener.commitSizes, (std::vector<uint32_t>{1, 2, 1, 2}));  // none after it
  }
}

TEST(HpatchLitePatch, ShortDeliveriesShrinkEveryLaterRefill) {
  Bytes old = hl_test::random_bytes(3000, 7);
  Bytes fresh = hl_test::mutate(old, 8);
  Bytes patch = hl_test::make_patch(old, fresh, 9);
  // Skip the header to drive the body directly.
  MemoryReader headerReader(patch);
  uint32_t type, newSize, uncompressSize;
  ASSERT_TRUE(
      hpatch_lite_open(&headerReader, MemoryReader::read, &type, &newSize, &uncompressSize));
  Bytes bodyOnly(patch.begin() + headerReader.pos, patch.end());
  BodyRun run(old, bodyOnly, 7);
  ASSERT_TRUE(run.run(newSize, 200));
  EXPECT_EQ(run.listener.newData, fresh);
  ASSERT_GE(run.reader.asked.size(), 2u);
  EXPECT_EQ(run.reader.asked[0], 100u);
  for (size_t i = 1; i < run.reader.asked.size(); ++i) EXPECT_EQ(run.reader.asked[i], 7u) << i;
  for (uint32_t size : run.listener.readSizes) EXPECT_LE(size, 7u);
}

TEST(HpatchLitePatch, ChunksNeverExceedTheHalfAndOddCachesLeaveTheLastByte) {
  Bytes old = hl_test::random_bytes(1000, 3);
  hl_test::PatchBuilder b(old);
  Bytes changed(old.begin(), old.begin() + 900);
  changed[100] ^= 0x55;
  b.cover(0, changed);
  b.copy(10, 500);
  b.literal(hl_test::random_bytes(300, 4));
  Bytes body = b.body();
  for (uint32_t cacheSize : {2u, 3u, 7u, 64u, 65u}) {
    MemoryReader r(body);
    MemoryListener listener(old, r);
    std::vector<hl_byte> cache(cacheSize + 1, 0xEE);
    ASSERT_TRUE(hpatch_lite_patch(&listener.base, static_cast<uint32_t>(b.new_data().size()),
                                  cache.data(), cacheSize))
        << cacheSize;
    EXPECT_EQ(listener.newData, b.new_data());
    uint32_t half = cacheSize / 2;
    for (uint32_t s : listener.readSizes) EXPECT_LE(s, half);
    for (uint32_t s : listener.writeSizes) EXPECT_LE(s, half);
    if (cacheSize % 2 == 1) {
      EXPECT_EQ(cache[cacheSize - 1], 0xEE) << cacheSize;
    }
    EXPECT_EQ(cache[cacheSize], 0xEE);
  }
}

// ---- round trips through the patch writer ----

struct RoundTrip {
  size_t oldSize;
  size_t newSize;
  bool related;
};

class HpatchLiteRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(HpatchLiteRoundTrip, RebuildsTheNewData) {
  const RoundTrip& p = GetParam();
  uint32_t seed = static_cast<uint32_t>(p.oldSize * 31 + p.newSize);
  Bytes old = hl_test::random_bytes(p.oldSize, seed);
  Bytes fresh;
  if (p.related) {
    fresh = hl_test::mutate(old, seed + 1);
    fresh.resize(p.newSize, 0x5A);
  } else {
    fresh = hl_test::random_bytes(p.newSize, seed + 2);
  }
  Bytes patch = hl_test::make_patch(old, fresh, seed + 3);
  for (uint32_t cacheSize : {24576u, 32768u}) {
    ApplyResult r = hl_test::apply_in_memory(old, patch, cacheSize);
    ASSERT_TRUE(r.patched) << cacheSize;
    ASSERT_EQ(r.newData, fresh) << cacheSize;
  }
  // A body reader that comes up short in the middle.
  uint32_t chunk = p.newSize > 100000 ? 4093 : 97;
  ApplyResult r = hl_test::apply_in_memory(old, patch, 24576, chunk);
  ASSERT_TRUE(r.patched);
  ASSERT_EQ(r.newData, fresh);
}

INSTANTIATE_TEST_SUITE_P(
    AcrossTheCacheHalves, HpatchLiteRoundTrip,
    ::testing::Values(RoundTrip{0, 0, false}, RoundTrip{0, 1, false}, RoundTrip{1, 0, false},
                      RoundTrip{1, 1, true}, RoundTrip{12287, 12287, true},
                      RoundTrip{12288, 12288, true}, RoundTrip{12289, 12289, true},
                      RoundTrip{12288, 12287, false}, RoundTrip{12289, 12288, false},
                      RoundTrip{16383, 16384, true}, RoundTrip{16385, 16385, false},
                      RoundTrip{5000, 40000, true}, RoundTrip{(3u << 20) + 17, (3u << 20), true},
                      RoundTrip{(1u << 20), (5u << 20) + 3, false}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) {
      return "old" + std::to_string(info.param.oldSize) + "_new" +
             std::to_string(info.param.newSize) + (info.param.related ? "_related" : "_unrelated");
    });
