// The patch driver, hpatchi_run, through real files, for every compress_type. The result code
// must be one the driver defines; a failed header must not create the new file; a successful run
// must write exactly newSize bytes; and for an uncompressed patch the run must agree with the
// whole-buffer model. New files are capped with RLIMIT_FSIZE, as on a full disk. Dictionaries
// above 16 MiB are folded below it (huge ones are tried by hand; see the bad-input table in
// README.md).
//
// Input: u8 flags, u16 oldSize, the old bytes, then the patch file.
//   flags bit 0: old path ""; bit 1: old path null; bit 2: new path = old path;
//   bit 3: overwrite compress_type (patch byte 2) with (flags >> 4) % 5.
// Run with -close_fd_mask=3 to keep the driver's trace out of the fuzzer's output.
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/patch_model.h"
#include "patch/hl_result.h"
#include "patch/hpatchi.h"
#include "tests/support/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr rlim_t kFileCap = rlim_t(16) << 20;
constexpr uint32_t kDictFold = uint32_t(16) << 20;

// Valid dictionary sizes above 16 MiB are folded below it: the driver's block is sized from them,
// and sanitizer bookkeeping of a block of up to 4 GiB per run would starve the search. Invalid
// sizes (0, above the decoder's limit) are kept, so that their rejection is still exercised.
void fold_large_dictionary(std::vector<uint8_t>& patch, const qr_fuzz::ModelHeader& header) {
  if (!header.ok) return;
  const size_t at = header.length;
  auto fold32 = [&patch](size_t offset, uint32_t maxValid) {
    if (offset + 4 > patch.size()) return;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(patch[offset + i]) << (8 * i);
    if (value <= kDictFold || value > maxValid) return;
    value = (value & (kDictFold - 1)) + 1;
    for (int i = 0; i < 4; ++i) patch[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  switch (header.compressType) {
    case 1:  // tuz: the 4-byte dictionary size
      fold32(at, uint32_t(1) << 30);
      break;
    case 3:  // lzma: the dictionary size inside the 5-byte properties
      if (at < patch.size() && patch[at] >= 5) fold32(at + 2, ~uint32_t(0));
      break;
    case 4:  // lzma2: properties 25 to 40 name 24 MiB to 4 GiB
      if (at < patch.size() && patch[at] > 24 && patch[at] <= 40)
        patch[at] = static_cast<uint8_t>(16 + patch[at] % 9);
      break;
    default:
      break;
  }
}

bool known_result(int code) {
  switch (code) {
    case HPATCHI_OK:
    case HPATCHI_OPEN_READ_ERROR:
    case HPATCHI_OPEN_WRITE_ERROR:
    case HPATCHI_OLD_READ_ERROR:
    case HPATCHI_WRITE_ERROR:
    case HPATCHI_CLOSE_ERROR:
    case HPATCHI_ALLOC_ERROR:
    case HPATCHI_COMPRESS_TYPE_ERROR:
    case HPATCHI_DECOMPRESSER_INFO_ERROR:
    case HPATCHI_DECOMPRESSER_OPEN_ERROR:
    case HPATCHI_DECOMPRESSER_CLOSE_ERROR:
    case HPATCHI_HEADER_ERROR:
    case HPATCHI_PATCH_ERROR:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A write past the cap must fail with EFBIG, as on a full disk, not end the process. Set here
  // rather than at start-up, because libFuzzer installs its own SIGXFSZ handler after that.
  static const bool capped = [] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{kFileCap, kFileCap};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }();
  if (!capped) abort();
  qr_fuzz::FuzzInput in(data, size);
  const uint8_t flags = in.u8();
  std::vector<uint8_t> old = in.bytes(in.u16());
  std::vector<uint8_t> patch = in.rest();
  if ((flags & 8) && patch.size() > 2) patch[2] = static_cast<uint8_t>((flags >> 4) % 5);
  fold_large_dictionary(patch, qr_fuzz::model_header(patch, false));

  static const hl_test::TempDir dir("qr-fuzz");  // one folder for the whole process
  const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                    newPath = dir.file("new");
  hl_test::write_file(oldPath, old);
  hl_test::write_file(patchPath, patch);
  std::filesystem::remove(newPath);

  const bool noOld = (flags & 3) != 0;
  const bool inPlace = (flags & 4) != 0;
  const char* oldArg = (flags & 2) ? nullptr : (flags & 1) ? "" : oldPath.c_str();
  const std::string& outPath = inPlace && !noOld ? oldPath : newPath;
  if (noOld) old.clear();

  const int result = hpatchi_run(oldArg, patchPath.c_str(), outPath.c_str());
  if (!known_result(result)) abort();

  const qr_fuzz::ModelHeader header = qr_fuzz::model_header(patch, false);
  if (header.ok != (result != HPATCHI_HEADER_ERROR)) abort();
  if (!header.ok && !inPlace && std::filesystem::exists(newPath)) abort();

  std::vector<uint8_t> written;
  if (result == HPATCHI_OK) {
    if (!std::filesystem::exists(outPath)) abort();
    written = hl_test::read_file(outPath);
    if (written.size() != header.newSize) abort();
  }
  if (header.ok && header.compressType == 0 && !inPlace) {
    const qr_fuzz::ModelResult model = qr_fuzz::model_apply(
        old, patch.data() + header.length, patch.size() - header.length, header.newSize,
        hpatchi_patch_cache_size(HPATCHI_CACHE_SIZE, 0), kFileCap);
    if (model.ok != (result == HPATCHI_OK)) abort();
    if (model.ok && written != model.newData) abort();
  }
  return 0;
}
