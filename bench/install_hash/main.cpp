// Installs the same update of a large executable with an old-style manifest and with one that
// names the base and the result by SHA-256, alternately, and reports what the two hashes add.
//
//   install_hash_bench [megabytes=300] [rounds=3] [folder=bench/results/install_hash] [plain|lzma2]
//   install_hash_bench pair OLD NEW PATCH [rounds=3] [folder=bench/results/install_hash]
//
// The executable is pseudo-random bytes. "plain" (the default): an uncompressed patch of plain
// copies with a few thousand small literal edits, the least work a patch of that size can be.
// "lzma2": the shape of a real executable update, every cover carrying difference bytes (one
// changed word in every 4 KiB, as shifted addresses give) and the body LZMA2-compressed. Wall
// time and user+system CPU time of each installation are printed, then the medians. "pair" installs
// a real patch instead, made by mkpatch from two releases of a program.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/runner/install.h"
#include "app/runner/os/os.h"
#include "diff/body_encoder.h"
#include "tests/support/patch_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string Sha256(const fs::path& path) {
  runner::os::EntryKind kind;
  std::error_code error;
  std::unique_ptr<runner::os::DataFile> file =
      runner::os::DataFile::OpenRegular(path.string(), false, kind, error);
  return file ? runner::os::Sha256OfFile(*file, error).value_or("") : "";
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double wall;
  double cpu;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A pseudo-random executable of `megabytes` and a patch of it (see the top of the file).
void MakeSynthetic(size_t megabytes, bool compressed, const fs::path& folder,
                   const fs::path& started, Bytes& patch, std::string& hashed) {
  std::printf("making a %zu MB executable and its patch\n", megabytes);
  std::mt19937_64 rng(42);
  Bytes old(megabytes << 20);
  for (size_t i = 0; i + 8 <= old.size(); i += 8) {
    const uint64_t word = rng();
    std::copy_n(reinterpret_cast<const uint8_t*>(&word), 8, old.begin() + static_cast<long>(i));
  }
  hl_test::PatchBuilder builder(old);
  Bytes edited = old;
  if (compressed) {
    for (size_t at = 0; at + 4096 <= edited.size(); at += 4096) edited[at + 100] ^= 0x10;
    const uint32_t piece = 1 << 20;
    for (uint32_t at = 0; at < old.size(); at += piece) {
      const uint32_t length = std::min<uint32_t>(piece, static_cast<uint32_t>(old.size() - at));
      builder.cover(at, Bytes(edited.begin() + at, edited.begin() + at + length),
                    /*allowPlain=*/false);
    }
    const Bytes body = builder.body();
    hldiff::EncodeOptions options;
    options.compression = hldiff::Compression::Lzma2;
    options.level = 1;
    const hldiff::EncodedBody encoded = hldiff::encode_body(body, options);
    hl_test::HeaderFields fields;
    fields.compressType = static_cast<uint8_t>(encoded.type);
    fields.newSize = static_cast<uint32_t>(edited.size());
    fields.uncompressSize = static_cast<uint32_t>(body.size());
    fields.uncompressSizeWidth = 4;
    patch = hl_test::make_header(fields);
    patch.insert(patch.end(), encoded.payload.begin(), encoded.payload.end());
  } else {
    const uint32_t piece = 64 << 10;
    for (uint32_t at = 0; at + piece <= old.size(); at += piece) {
      builder.copy(at, piece - 16);
      Bytes literal(16, static_cast<uint8_t>(at >> 16));
      std::copy(literal.begin(), literal.end(), edited.begin() + at + piece - 16);
      builder.literal(literal);
    }
    const uint32_t rest = static_cast<uint32_t>(old.size() / piece * piece);
    if (rest < old.size()) builder.copy(rest, static_cast<uint32_t>(old.size() - rest));
    patch = builder.patch();
  }
  std::printf("patch: %zu bytes (%s)\n", patch.size(), compressed ? "lzma2" : "plain");
  WriteBytes(started, old);
  WriteBytes(folder / "expected", edited);
  hashed = "{\"base_sha256\": \"" + Sha256(started) + "\", \"sha256\": \"" +
           Sha256(folder / "expected") + "\"}";
  fs::remove(folder / "expected");
}

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  const bool realPair = argc > 4 && std::string(argv[1]) == "pair";
  const int extra = realPair ? 4 : 1;  // where rounds and folder follow
  const int rounds = argc > extra + 1 ? std::atoi(argv[extra + 1]) : 3;
  const fs::path folder =
      argc > extra + 2 ? fs::path(argv[extra + 2]) : fs::path("bench/results/install_hash");
  const fs::path data = folder / "data";
  fs::create_directories(data);
  const fs::path started = folder / "Quorlin.exe";
  Bytes patch;
  std::string hashed;
  if (realPair) {
    const fs::path newFile = argv[3];
    fs::copy_file(argv[2], started, fs::copy_options::overwrite_existing);
    patch = ReadBytes(argv[4]);
    hashed =
        "{\"base_sha256\": \"" + Sha256(started) + "\", \"sha256\": \"" + Sha256(newFile) + "\"}";
    std::printf("real pair: %s -> %s, patch of %zu bytes\n", argv[2], argv[3], patch.size());
  } else {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
    MakeSynthetic(megabytes, argc > 4 && std::string(argv[4]) == "lzma2", folder, started, patch,
                  hashed);
  }

  std::vector<double> plainWall, plainCpu, hashedWall, hashedCpu;
  for (int round = 0; round < rounds * 2; ++round) {
    const bool withHashes = round % 2 == 1;
    const std::string dataFolder = data.string() + "/";
    WriteBytes(data / "Patch", patch);
    std::ofstream(data / "update.json") << (withHashes ? hashed : std::string("{}"));
    fs::remove(data / "Quorlin.exe");
    std::fflush(stdout);
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    const nlohmann::json manifest =
        runner::InstallStagedUpdate(runner::DataFolder(dataFolder), started.string()).manifest;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = CpuSeconds() - cpuStart;
    if (manifest.is_null() || !fs::exists(data / "Quorlin.exe")) {
      std::fprintf(stderr, "the installation failed\n");
      return 1;
    }
    (withHashes ? hashedWall : plainWall).push_back(wall);
    (withHashes ? hashedCpu : plainCpu).push_back(cpu);
    std::fprintf(stderr, "%-14s wall %.3f s, user+system %.3f s\n",
                 withHashes ? "both hashes" : "no hashes", wall, cpu);
  }
  const double pw = Median(plainWall), pc = Median(plainCpu), hw = Median(hashedWall),
               hc = Median(hashedCpu);
  std::fprintf(
      stderr,
      "median of %d: no hashes wall %.3f s cpu %.3f s; both hashes wall %.3f s cpu %.3f s\n",
      rounds, pw, pc, hw, hc);
  std::fprintf(stderr, "hashing adds %.1f%% wall, %.1f%% cpu\n", 100 * (hw - pw) / pw,
               100 * (hc - pc) / pc);
  fs::remove_all(folder);
  return 0;
}
