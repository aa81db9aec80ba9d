// mkpatch OLD NEW PATCH: writes a patch that turns OLD into NEW, checked by applying it.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/manifest/manifest.h"
#include "app/sha256/sha256.h"
#include "diff/patch_maker.h"
#include "tools/mkpatch/command_line.h"
#include "tools/mkpatch/file_io.h"
#include "tools/mkpatch/heap.h"
#include "tools/mkpatch/manifest.h"
#include "tools/mkpatch/progress.h"
#include "tools/mkpatch/verify.h"

namespace {

// Inputs from this size on get progress reports.
constexpr size_t kProgressFrom = size_t(16) << 20;

// The patch is written here first and renamed once it has passed the check, so that a failed
// run leaves neither a bad patch nor a half-written one behind.
struct PendingFile {
  std::string path;
  bool keep = false;
  ~PendingFile() {
    if (keep) return;
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

// libcrypto's SHA-256 does not fail; were it to, no manifest is better than a wrong one.
std::string sha256_hex(const std::vector<uint8_t>& bytes) {
  const std::optional<std::string> hex = digest::Sha256Hex(bytes.data(), bytes.size());
  if (!hex) throw std::runtime_error("cannot compute SHA-256");
  return *hex;
}

int run(const mkpatch::CommandLine& cl) {
  std::vector<uint8_t> oldData = mkpatch::read_file(cl.oldPath, hldiff::kMaxFileSize);
  std::vector<uint8_t> newData = mkpatch::read_file(cl.newPath, hldiff::kMaxFileSize);
  std::string manifest;
  if (!cl.manifestPath.empty())
    manifest = update_manifest::ManifestText(sha256_hex(oldData), sha256_hex(newData), cl.force);

  mkpatch::Progress progress(!cl.quiet && oldData.size() + newData.size() >= kProgressFrom);
  const size_t newSize = newData.size();
  // NEW is compared from its file when it is one that can be read again, and the memory of
  // both inputs goes to the compressor; a pipe's bytes are kept for the check.
  std::error_code typeError;
  const bool newIsFile = std::filesystem::is_regular_file(cl.newPath, typeError);
  hldiff::MakeOptions options;
  options.encode = cl.encode;
  options.stage = [&](const char* name) { progress.stage(name); };
  options.progress = [&](size_t done, size_t total) { progress.update(done, total); };
  options.inputsDone = [&] {
    // New vectors: assigning {} would only clear them and keep their memory.
    oldData = std::vector<uint8_t>();
    if (newIsFile || !cl.verify) newData = std::vector<uint8_t>();
  };
  std::vector<uint8_t> patch =
      hldiff::make_patch(oldData.data(), oldData.size(), newData.data(), newData.size(), options);
  oldData = std::vector<uint8_t>();

  std::string why;
  PendingFile pending{cl.patchPath + ".part-" + std::to_string(getpid())};
  mkpatch::write_file(pending.path, patch);
  if (cl.verify) {
    progress.stage("checking the patch");
    const bool works = newIsFile ? mkpatch::verify_patch(cl.oldPath, pending.path, cl.newPath, why)
                                 : mkpatch::verify_patch(cl.oldPath, pending.path, newData, why);
    if (!works) {
      std::fprintf(stderr, "mkpatch: the patch does not work (%s); no patch written\n",
                   why.c_str());
      return 1;
    }
  }
  std::error_code ec;
  std::filesystem::rename(pending.path, cl.patchPath, ec);
  if (ec) {
    std::fprintf(stderr, "mkpatch: cannot write \"%s\": %s\n", cl.patchPath.c_str(),
                 ec.message().c_str());
    return 1;
  }
  pending.keep = true;
  if (!manifest.empty() && !mkpatch::write_manifest(cl.manifestPath, manifest, why)) {
    std::fprintf(stderr, "mkpatch: %s\n", why.c_str());
    return 1;
  }
  if (!cl.quiet)
    std::printf("%s: %zu bytes (%s%s) for %zu new bytes\n", cl.patchPath.c_str(), patch.size(),
                hldiff::compression_name(cl.encode.compression),
                cl.verify ? ", checked" : ", not checked", newSize);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  mkpatch::tune_heap();
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto cl = mkpatch::parse_command_line(args, error);
  if (!cl) {
    std::fprintf(stderr, "mkpatch: %s\n%s", error.c_str(), mkpatch::kUsage);
    return 2;
  }
  if (cl->help) {
    std::fputs(mkpatch::kUsage, stdout);
    std::fputs(mkpatch::kHelp, stdout);
    return 0;
  }
  if (cl->version) {
    std::fputs("mkpatch " QR_VERSION "\n", stdout);
    return 0;
  }
  try {
    return run(*cl);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkpatch: %s\n", e.what());
    return 1;
  }
}
