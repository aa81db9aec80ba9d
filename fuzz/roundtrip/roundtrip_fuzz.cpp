// Round trip: an old/new pair from the input goes through the patch creator and back through the
// patch driver, on real files; the driver must succeed and reproduce the new file exactly, for
// every compression.
//
// Input: u8 compression (modulo the 7 kinds), u8 flags, u16 oldSize, the old bytes, then the
// description of the new file:
//   flags bit 0: the rest is an edit script over the old bytes (below); otherwise it is the new
//   file as it stands. bit 1: an empty old file is passed as the path "". (flags >> 2) % 10:
//   the compression level.
//   Edit script: op byte; odd: copy (op >> 1) + 1 old bytes from the u16 position that follows
//   (modulo the old size); even: insert the next (op >> 1) bytes.
// Run with -close_fd_mask=3 to keep the driver's trace out of the fuzzer's output.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "diff/patch_maker.h"
#include "fuzz/common/fuzz_input.h"
#include "patch/hl_result.h"
#include "patch/hpatchi.h"
#include "tests/support/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr hldiff::Compression kCompressions[] = {
    hldiff::Compression::None, hldiff::Compression::Tuz,     hldiff::Compression::Zlib,
    hldiff::Compression::Gzip, hldiff::Compression::Deflate, hldiff::Compression::Lzma,
    hldiff::Compression::Lzma2};

std::vector<uint8_t> apply_edits(const std::vector<uint8_t>& old, qr_fuzz::FuzzInput& in) {
  std::vector<uint8_t> out;
  while (in.left() > 0) {
    const uint8_t op = in.u8();
    if (op & 1) {
      const size_t length = (op >> 1) + 1u;
      const size_t from = in.u16();
      if (old.empty()) continue;
      for (size_t i = 0; i < length; ++i) out.push_back(old[(from + i) % old.size()]);
    } else {
      const std::vector<uint8_t> inserted = in.bytes(op >> 1);
      out.insert(out.end(), inserted.begin(), inserted.end());
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr_fuzz::FuzzInput in(data, size);
  const hldiff::Compression compression = kCompressions[in.u8() % 7];
  const uint8_t flags = in.u8();
  const std::vector<uint8_t> old = in.bytes(in.u16());
  const std::vector<uint8_t> neu = (flags & 1) ? apply_edits(old, in) : in.rest();

  hldiff::MakeOptions options;
  options.encode.compression = compression;
  options.encode.level = (flags >> 2) % 10;
  const std::vector<uint8_t> patch =
      hldiff::make_patch(old.data(), old.size(), neu.data(), neu.size(), options);

  static const hl_test::TempDir dir("qr-fuzz");  // one folder for the whole process
  const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                    newPath = dir.file("new");
  hl_test::write_file(oldPath, old);
  hl_test::write_file(patchPath, patch);
  const bool emptyOldPath = (flags & 2) && old.empty();
  if (hpatchi_run(emptyOldPath ? "" : oldPath.c_str(), patchPath.c_str(), newPath.c_str()) !=
      HPATCHI_OK)
    abort();
  if (!std::filesystem::exists(newPath) || hl_test::read_file(newPath) != neu) abort();
  return 0;
}
