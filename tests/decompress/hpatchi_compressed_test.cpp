// Compressed patches applied end to end through the hpatchi program: bodies from the libraries'
// own encoders, every prefix rejection with its exact lines, broken streams with code 21.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>

#include "diff/lzma_encoder.h"
#include "patch/hpatchi.h"
#include "patch/hpatchi_memory.h"
#include "tests/support/encoders.h"
#include "tests/decompress/patch_file.h"
#include "tests/support/file_io.h"
#include "tests/support/memory_io.h"
#include "tests/support/process_capture.h"
#include "tests/support/same_bytes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"

namespace {

namespace fs = std::filesystem;
using hl_test::Bytes;

constexpr uint8_t kTuz = 1, kZlib = 2, kLzma = 3, kLzma2 = 4;

struct Outcome {
  int code;
  std::string out;
  std::string err;
  Bytes newFile;
  bool newExists;
};

class HpatchiCompressed : public ::testing::Test {
 protected:
  hl_test::TempDir dir;

  Outcome apply(const Bytes& oldData, const Bytes& patch) {
    const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                      newPath = dir.file("new");
    hl_test::write_file(oldPath, oldData);
    hl_test::write_file(patchPath, patch);
    fs::remove(newPath);
    hl_test::Captured run = hl_test::run_program({HPATCHI_PROGRAM, oldPath, patchPath, newPath});
    Outcome o;
    o.code = run.exitCode;
    o.out = run.out;
    o.err = run.err;
    o.newExists = fs::exists(newPath);
    if (o.newExists) o.newFile = hl_test::read_file(newPath);
    return o;
  }
};

std::string decompresser_line(const char* name) {
  return std::string("hpatchi run with decompresser: \"") + name + "\"\n";
}
std::string memory_line(uint64_t must) {
  return "  requirements memory size: (must) " + std::to_string(must) + " + (cache) 32768\n";
}
// The decoder memory that hpatchi_memory_need reads from the patch.
uint64_t claimed_need(const Bytes& patch) {
  hl_test::MemoryReader reader(patch);
  hpatchi_TMemoryNeed need;
  EXPECT_EQ(HPATCHI_OK,
            hpatchi_memory_need(&reader, hl_test::MemoryReader::read, HPATCHI_CACHE_SIZE, &need));
  return need.mustSize;
}
bool contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

struct Sample {
  Bytes oldData = hl_test::sample_data(70000, 41);
  Bytes newData;
  Bytes body;
  Sample() {
    newData = oldData;
    for (size_t i = 0; i < newData.size(); i += 1000) newData[i] ^= 0x5A;
    Bytes tail = hl_test::sample_data(30000, 42);
    newData.insert(newData.end(), tail.begin(), tail.end());
    body = hl_test::make_body(oldData, newData);
  }
};

void expect_ok(const Outcome& o, const Bytes& want, const char* name, uint64_t must) {
  EXPECT_EQ(0, o.code) << o.err;
  EXPECT_TRUE(hl_test::same_bytes(want, o.newFile));
  EXPECT_TRUE(contains(o.out, decompresser_line(name) + memory_line(must))) << o.out;
  EXPECT_TRUE(contains(o.out, "  patch ok!\n")) << o.out;
  EXPECT_EQ("", o.err);
}

TEST_F(HpatchiCompressed, ZlibFramings) {
  Sample s;
  for (int wb : {15, 31, -15, 9}) {
    Bytes stream = hl_test::zlib_compress(s.body, wb);
    Bytes patch = hl_test::make_patch(kZlib, uint32_t(s.newData.size()), uint32_t(s.body.size()),
                                      Bytes{uint8_t(int8_t(wb))}, stream);
    expect_ok(apply(s.oldData, patch), s.newData, "zlib", claimed_need(patch));
  }
}

TEST_F(HpatchiCompressed, LzmaWithAndWithoutEndMarkAndFiveToEightPropertyBytes) {
  Sample s;
  for (bool endMark : {false, true}) {
    auto enc = hl_test::lzma_compress(s.body, 1 << 16, endMark);
    for (unsigned propsSize = 5; propsSize <= 8; ++propsSize) {
      Bytes prefix{uint8_t(propsSize)};
      prefix.insert(prefix.end(), enc.props.begin(), enc.props.end());
      prefix.resize(1 + propsSize, 0x77);
      Bytes patch = hl_test::make_patch(kLzma, uint32_t(s.newData.size()), uint32_t(s.body.size()),
                                        prefix, enc.data);
      expect_ok(apply(s.oldData, patch), s.newData, "lzma", claimed_need(patch));
    }
  }
}

TEST_F(HpatchiCompressed, Lzma2DictProps0And1And16) {
  Sample s;
  for (uint8_t prop : {0, 1, 16}) {
    for (bool endByte : {true, false}) {
      Bytes stream = hl_test::lzma2_compress(s.body, prop);
      if (!endByte) stream.pop_back();
      Bytes patch = hl_test::make_patch(kLzma2, uint32_t(s.newData.size()), uint32_t(s.body.size()),
                                        Bytes{prop}, stream);
      expect_ok(apply(s.oldData, patch), s.newData, "lzma2", claimed_need(patch));
    }
  }
}

// mkpatch's LZMA2 bodies: two segments, the second starting with a dictionary reset; noise in
// the new file makes uncompressed chunks.
TEST_F(HpatchiCompressed, Lzma2BodiesOfMkpatch) {
  Bytes oldData = hl_test::sample_data(400000, 43);
  Bytes newData = oldData;
  for (size_t i = 0; i < newData.size(); i += 3000) newData[i] ^= 0x11;
  Bytes noise = hl_test::random_bytes(200000, 5);
  newData.insert(newData.end(), noise.begin(), noise.end());
  Bytes more = hl_test::sample_data(300000, 44);
  newData.insert(newData.end(), more.begin(), more.end());
  Bytes body = hl_test::make_body(oldData, newData);
  hldiff::LzmaOptions options;
  options.level = 6;
  options.segments = 2;
  options.parallelFrom = 0;
  Bytes payload = hldiff::lzma2_encode(body.data(), body.size(), options);
  const uint8_t prop = payload[0];
  Bytes stream(payload.begin() + 1, payload.end());
  unsigned dicResets = 0, uncompressed = 0;
  for (size_t at : hl_test::lzma2_chunk_offsets(stream)) {
    dicResets += stream[at] == 0x01 || stream[at] >= 0xE0;
    uncompressed += stream[at] < 0x80;
  }
  EXPECT_EQ(2u, dicResets);
  EXPECT_GT(uncompressed, 0u);
  EXPECT_EQ(body, hl_test::lzma2_reference_decode(stream, prop, body.size() + 1).out);
  Bytes patch = hl_test::make_patch(kLzma2, uint32_t(newData.size()), uint32_t(body.size()),
                                    Bytes{prop}, stream);
  expect_ok(apply(oldData, patch), newData, "lzma2", claimed_need(patch));
}

TEST_F(HpatchiCompressed, Tuz) {
  Sample s;
  auto w = hl_test::tuz_encode(s.body);
  ASSERT_EQ(s.body, w.expected());
  for (uint32_t dictSize : {4096u, 1u << 20}) {
    Bytes patch = hl_test::make_patch(kTuz, uint32_t(s.newData.size()), 0, Bytes{},
                                      w.with_dict_size(dictSize));
    expect_ok(apply(s.oldData, patch), s.newData, "tuz", dictSize);
  }
}

// The prefix rejections: the decompresser line on standard output, the plugin's line and the
// driver's line on standard error, and the code.
struct Rejection {
  uint8_t type;
  Bytes tail;
  const char* name;
  int code;
  const char* line;
};

TEST_F(HpatchiCompressed, PrefixRejections) {
  const char* zlibSize = "_zlib_TStream_getReservedMemSize() ERROR!\n";
  const char* lzmaSize = "_lzma_TStream_getReservedMemSize() ERROR!\n";
  const char* tuzSize = "tuz_TStream_read_dict_size() dict size ERROR!\n";
  std::vector<Rejection> cases = {
      {kZlib, {8}, "zlib", 11, zlibSize},
      {kZlib, {16}, "zlib", 11, zlibSize},
      {kZlib, {24}, "zlib", 11, zlibSize},
      {kZlib, {0}, "zlib", 11, zlibSize},
      {kZlib, {uint8_t(-8)}, "zlib", 11, zlibSize},
      {kZlib, {}, "zlib", 11, zlibSize},
      {kZlib, {uint8_t(-25), 1, 2, 3}, "zlib", 12, "_zlib_TStream_open() ERROR!\n"},
      {kTuz, {0, 0, 0, 0, 0x0C, 0}, "tuz", 11, tuzSize},
      {kTuz, {1, 0, 0, 0x40, 0x0C, 0}, "tuz", 11, tuzSize},
      {kTuz, {0, 0x10, 0}, "tuz", 11, tuzSize},
      {kLzma, {0, 93, 0, 0, 1, 0}, "lzma", 11, lzmaSize},
      {kLzma, {9, 93, 0, 0, 1, 0, 0, 0, 0, 0}, "lzma", 11, lzmaSize},
      {kLzma, {4, 93, 0, 0, 1}, "lzma", 11, lzmaSize},
      {kLzma, {6, 93, 0, 0, 1}, "lzma", 11, lzmaSize},
      {kLzma, {5, 225, 0, 0, 1, 0, 0}, "lzma", 11, lzmaSize},
      {kLzma, {}, "lzma", 11, lzmaSize},
      {kLzma2, {41, 0}, "lzma2", 11, "_lzma2_TStream_getReservedMemSize() ERROR!\n"},
      {kLzma2, {}, "lzma2", 11, "_lzma2_TStream_getReservedMemSize() ERROR!\n"},
  };
  for (const auto& c : cases) {
    Bytes patch = hl_test::make_patch(c.type, 5, 5, Bytes{}, c.tail);
    Outcome o = apply(Bytes{1, 2, 3}, patch);
    std::string what =
        std::string(c.name) + " prefix of " + std::to_string(c.tail.size()) + " bytes";
    EXPECT_EQ(c.code, o.code) << what;
    EXPECT_EQ(std::string(c.line) + "hpatchi_patch() run ERROR!\n", o.err) << what;
    EXPECT_TRUE(contains(o.out, decompresser_line(c.name))) << what << "\n" << o.out;
    EXPECT_EQ(std::string::npos,
              o.out.find(decompresser_line(c.name), o.out.find(decompresser_line(c.name)) + 1))
        << "printed once: " << what;
    // Only a failed open comes after the memory line.
    EXPECT_EQ(c.code == 12, contains(o.out, "requirements memory size")) << what;
    EXPECT_TRUE(contains(o.out, "\nhpatchi time: ")) << what;
  }
}

// Broken streams of every type fail in the patch step with code 21.
TEST_F(HpatchiCompressed, TruncatedAndCorruptStreamsGiveCode21) {
  Sample s;
  const std::string lines = "hpatch_lite_patch() run ERROR!\nhpatchi_patch() run ERROR!\n";
  const uint32_t newSize = uint32_t(s.newData.size());
  const uint32_t bodySize = uint32_t(s.body.size());
  std::vector<std::pair<std::string, Bytes>> patches;

  Bytes z = hl_test::zlib_compress(s.body, 15);
  patches.push_back({"zlib cut", hl_test::make_patch(kZlib, newSize, bodySize, {15},
                                                     Bytes(z.begin(), z.begin() + z.size() / 2))});
  Bytes zbad = z;
  zbad[0] ^= 0x08;  // the zlib header check fails
  patches.push_back({"zlib corrupt", hl_test::make_patch(kZlib, newSize, bodySize, {15}, zbad)});
  patches.push_back({"zlib longer body than stream",
                     hl_test::make_patch(kZlib, newSize + 1, bodySize + 1, {15}, z)});

  auto enc = hl_test::lzma_compress(s.body, 1 << 16, false);
  Bytes lp{5};
  lp.insert(lp.end(), enc.props.begin(), enc.props.end());
  patches.push_back(
      {"lzma cut",
       hl_test::make_patch(kLzma, newSize, bodySize, lp,
                           Bytes(enc.data.begin(), enc.data.begin() + enc.data.size() / 2))});
  Bytes lbad = enc.data;
  lbad[0] = 0x42;
  patches.push_back({"lzma corrupt", hl_test::make_patch(kLzma, newSize, bodySize, lp, lbad)});

  Bytes l2 = hl_test::lzma2_compress(s.body, 16);
  patches.push_back(
      {"lzma2 cut", hl_test::make_patch(kLzma2, newSize, bodySize, {16},
                                        Bytes(l2.begin(), l2.begin() + l2.size() / 2))});
  Bytes l2bad = l2;
  l2bad[0] = 0x05;  // an invalid chunk control byte
  patches.push_back({"lzma2 corrupt", hl_test::make_patch(kLzma2, newSize, bodySize, {16}, l2bad)});

  auto t = hl_test::tuz_encode(s.body).with_dict_size(1 << 16);
  patches.push_back({"tuz cut", hl_test::make_patch(kTuz, newSize, 0, {},
                                                    Bytes(t.begin(), t.begin() + t.size() / 2))});
  hl_test::TuzWriter far;
  far.literal('a');
  far.bit(0);
  far.length_code(0);
  far.bit(0);
  far.distance_code(5000);  // beyond the 4096-byte dictionary
  far.end();
  patches.push_back(
      {"tuz distance", hl_test::make_patch(kTuz, 3, 0, {}, far.with_dict_size(4096))});
  hl_test::TuzWriter badCode;
  badCode.literal('a');
  badCode.control(0);
  badCode.end();
  patches.push_back(
      {"tuz control code", hl_test::make_patch(kTuz, 3, 0, {}, badCode.with_dict_size(4096))});

  for (const auto& p : patches) {
    Outcome o = apply(s.oldData, p.second);
    EXPECT_EQ(21, o.code) << p.first;
    EXPECT_EQ(lines, o.err) << p.first;
  }
}

// A patch of megabytes is read ahead in pieces far longer than the input cache: the pieces follow
// one another across the decoder's requests, the last one is short, and a patch cut inside a
// piece fails as a short one does.
TEST_F(HpatchiCompressed, LargePatchesReadAheadApplyAndFailAlike) {
  Bytes oldData = hl_test::sample_data(300000, 45);
  Bytes newData = oldData;
  for (size_t i = 0; i < newData.size(); i += 700) newData[i] ^= 0x33;
  Bytes noise = hl_test::random_bytes(1500000 + 123, 46);  // codes to about its own size
  newData.insert(newData.end(), noise.begin(), noise.end());
  const Bytes body = hl_test::make_body(oldData, newData);
  const uint32_t newSize = uint32_t(newData.size()), bodySize = uint32_t(body.size());
  const std::string lines = "hpatch_lite_patch() run ERROR!\nhpatchi_patch() run ERROR!\n";

  const Bytes z = hl_test::zlib_compress(body, 15);
  const Bytes zPatch = hl_test::make_patch(kZlib, newSize, bodySize, {15}, z);
  ASSERT_GT(zPatch.size(), size_t(1) << 20);
  expect_ok(apply(oldData, zPatch), newData, "zlib", claimed_need(zPatch));
  const Bytes l2 = hl_test::lzma2_compress(body, 16);
  const Bytes l2Patch = hl_test::make_patch(kLzma2, newSize, bodySize, {16}, l2);
  expect_ok(apply(oldData, l2Patch), newData, "lzma2", claimed_need(l2Patch));

  for (size_t cut : {z.size() / 2, z.size() - 3000}) {
    const Bytes cutStream(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(cut));
    Outcome o = apply(oldData, hl_test::make_patch(kZlib, newSize, bodySize, {15}, cutStream));
    EXPECT_EQ(21, o.code) << cut;
    EXPECT_EQ(lines, o.err) << cut;
  }
}

}  // namespace
