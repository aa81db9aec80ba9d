// Patch-apply benchmark: builds a new file of 256 MiB from a similar old file with an
// uncompressed patch through hpatchi (a child process, so its peak memory is its own), and copies
// the new file with a plain read/write loop as the baseline.
//
//   patch_apply_bench [runs] [MiB] [keep]   defaults: 2 runs (best is reported), 256 MiB;
//                                           "keep" leaves the old file and the patch in /tmp
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// splitmix64: fast, seeded, good enough for test data.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t bound) { return static_cast<uint32_t>(next() % bound); }
  void fill(uint8_t* out, size_t size) {
    for (size_t i = 0; i < size; i += 8) {
      uint64_t v = next();
      std::memcpy(out + i, &v, std::min<size_t>(8, size - i));
    }
  }

 private:
  uint64_t state_;
};

// Hash of the bytes in order, to check the patched file without keeping a second copy.
struct Digest {
  uint64_t value = 1469598103934665603ull;
  void add(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) value = (value ^ data[i]) * 1099511628211ull;
  }
};

class File {
 public:
  File(const std::string& path, int flags) : fd_(::open(path.c_str(), flags, 0600)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  int fd() const { return fd_; }
  void write_all(const uint8_t* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::write(fd_, data, size);
      if (n <= 0) throw std::system_error(errno, std::generic_category(), "write");
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
};

// Buffered writer for the patch file.
class Sink {
 public:
  explicit Sink(File& file) : file_(file) { buf_.reserve(1 << 20); }
  ~Sink() { flush(); }
  void put(uint8_t b) {
    buf_.push_back(b);
    if (buf_.size() >= (1 << 20)) flush();
  }
  void put(const uint8_t* data, size_t size) {
    flush();
    file_.write_all(data, size);
  }
  void packed(uint32_t value) {
    uint8_t groups[5];
    int count = 0;
    do {
      groups[count++] = value & 0x7F;
      value >>= 7;
    } while (value != 0);
    while (count-- > 0) put(static_cast<uint8_t>(groups[count] | (count > 0 ? 0x80 : 0)));
  }
  void flush() {
    if (!buf_.empty()) file_.write_all(buf_.data(), buf_.size());
    buf_.clear();
  }
  uint64_t written = 0;

 private:
  File& file_;
  std::vector<uint8_t> buf_;
};

struct Cover {
  uint32_t literalLen;
  uint32_t oldPos;
  uint32_t length;
  bool plainCopy;
};

struct Workload {
  uint64_t newSize = 0;
  uint64_t patchSize = 0;
  size_t covers = 0;
  uint64_t digest = 0;
};

// Old file: random bytes. New file: runs of the old file in order with small shifts (as after
// insertions and deletions), about half of them changed in a few bytes, with short new runs
// between them. The patch stores changed runs as difference bytes, unchanged runs as plain copies.
Workload make_files(const std::string& oldPath, const std::string& patchPath, uint32_t mebibytes) {
  const uint32_t oldSize = (mebibytes << 20) + 4093;
  const uint64_t newTarget = (static_cast<uint64_t>(mebibytes) << 20) + 12345;
  Random rng(20261208);
  std::vector<uint8_t> old(oldSize);
  rng.fill(old.data(), old.size());
  {
    File out(oldPath, O_WRONLY | O_CREAT | O_TRUNC);
    out.write_all(old.data(), old.size());
  }

  std::vector<Cover> covers;
  uint64_t newSize = 0;
  uint32_t oldPos = 0;
  while (newSize < newTarget) {
    Cover c{};
    c.literalLen = rng.below(10) == 0 ? 1 + rng.below(4096) : 0;
    c.length = 4096 + rng.below(256 * 1024);
    int64_t shifted = static_cast<int64_t>(oldPos) + static_cast<int64_t>(rng.below(2049)) - 1024;
    if (shifted < 0 || shifted + c.length > oldSize) shifted = rng.below(oldSize - c.length);
    c.oldPos = static_cast<uint32_t>(shifted);
    c.plainCopy = rng.below(2) == 0;
    uint64_t left = newTarget - newSize;
    if (c.literalLen >= left) {
      c.literalLen = static_cast<uint32_t>(left);
      c.length = 0;
    } else if (c.literalLen + c.length > left) {
      c.length = static_cast<uint32_t>(left - c.literalLen);
    }
    newSize += c.literalLen + c.length;
    oldPos = c.oldPos + c.length;
    covers.push_back(c);
    if (c.length == 0) break;  // an empty cover may only be the last
  }

  File out(patchPath, O_WRONLY | O_CREAT | O_TRUNC);
  Sink sink(out);
  Digest digest;
  const uint8_t header[8] = {0x68,
                             0x49,
                             0x00,
                             0x44,
                             static_cast<uint8_t>(newSize),
                             static_cast<uint8_t>(newSize >> 8),
                             static_cast<uint8_t>(newSize >> 16),
                             static_cast<uint8_t>(newSize >> 24)};
  for (uint8_t b : header) sink.put(b);
  sink.packed(static_cast<uint32_t>(covers.size()));
  std::vector<uint8_t> scratch;
  uint32_t running = 0;
  for (const Cover& c : covers) {
    sink.packed(c.length);
    bool back = c.oldPos < running;
    uint32_t step = back ? running - c.oldPos : c.oldPos - running;
    // Tag: flags and the step's top 5 bits, the rest in continuation bytes.
    int continuation = 0;
    while (continuation < 4 && (static_cast<uint64_t>(step) >> (7 * continuation)) > 0x1F)
      ++continuation;
    sink.put(static_cast<uint8_t>((c.plainCopy ? 0x80 : 0) | (back ? 0x40 : 0) |
                                  (continuation > 0 ? 0x20 : 0) |
                                  ((static_cast<uint64_t>(step) >> (7 * continuation)) & 0x1F)));
    for (int i = continuation; i > 0; --i) {
      sink.put(static_cast<uint8_t>(((step >> (7 * (i - 1))) & 0x7F) | (i > 1 ? 0x80 : 0)));
    }
    sink.packed(c.literalLen);
    scratch.resize(c.literalLen);
    rng.fill(scratch.data(), scratch.size());
    sink.put(scratch.data(), scratch.size());
    digest.add(scratch.data(), scratch.size());
    const uint8_t* source = old.data() + c.oldPos;
    if (c.plainCopy) {
      digest.add(source, c.length);
    } else {
      scratch.assign(c.length, 0);
      for (uint32_t i = rng.below(512); i < c.length; i += 1 + rng.below(1024)) {
        scratch[i] = static_cast<uint8_t>(1 + rng.below(255));
      }
      sink.put(scratch.data(), scratch.size());
      for (uint32_t i = 0; i < c.length; ++i)
        scratch[i] = static_cast<uint8_t>(scratch[i] + source[i]);
      digest.add(scratch.data(), scratch.size());
    }
    running = c.oldPos + c.length;
  }
  sink.flush();
  Workload w;
  w.newSize = newSize;
  w.covers = covers.size();
  w.digest = digest.value;
  w.patchSize = static_cast<uint64_t>(::lseek(out.fd(), 0, SEEK_END));
  return w;
}

uint64_t digest_file(const std::string& path) {
  File in(path, O_RDONLY);
  std::vector<uint8_t> buf(1 << 20);
  Digest d;
  for (;;) {
    ssize_t n = ::read(in.fd(), buf.data(), buf.size());
    if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
    if (n == 0) break;
    d.add(buf.data(), static_cast<size_t>(n));
  }
  return d.value;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct PatchRun {
  double seconds = 0;
  long peakKiB = 0;
  int exitCode = -1;
};

// hpatchi in a child whose output goes to a log file; its own peak resident size comes back
// through wait4.
PatchRun run_hpatchi(const std::string& oldPath, const std::string& patchPath,
                     const std::string& newPath, const std::string& logPath) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) _exit(126);
    execl(HPATCHI_EXE, HPATCHI_EXE, oldPath.c_str(), patchPath.c_str(), newPath.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "wait4");
  }
  PatchRun run;
  run.seconds = seconds_since(start);
  run.peakKiB = usage.ru_maxrss;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

double copy_file(const std::string& from, const std::string& to) {
  auto start = std::chrono::steady_clock::now();
  File in(from, O_RDONLY);
  File out(to, O_WRONLY | O_CREAT | O_TRUNC);
  std::vector<uint8_t> buf(64 * 1024);
  for (;;) {
    ssize_t n = ::read(in.fd(), buf.data(), buf.size());
    if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
    if (n == 0) break;
    out.write_all(buf.data(), static_cast<size_t>(n));
  }
  return seconds_since(start);
}

class TempDir {
 public:
  bool keep = false;
  TempDir() {
    std::string pattern = "/tmp/patch-apply-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!keep) fs::remove_all(path_, ignored);
  }
  std::string file(const char* name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 2;
  uint32_t mebibytes = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 256;
  if (runs < 1 || mebibytes < 1 || mebibytes > 4000) {
    std::fprintf(stderr, "usage: patch_apply_bench [runs] [MiB]\n");
    return 1;
  }
  try {
    TempDir dir;
    dir.keep = argc > 3 && std::strcmp(argv[3], "keep") == 0;
    const std::string oldPath = dir.file("old"), patchPath = dir.file("patch"),
                      newPath = dir.file("new"), copyPath = dir.file("copy"),
                      logPath = dir.file("hpatchi.log");
    std::printf("building the workload in %s ...\n", dir.file("").c_str());
    Workload w = make_files(oldPath, patchPath, mebibytes);
    const double mib = static_cast<double>(w.newSize) / (1024.0 * 1024.0);
    std::printf("new file %llu bytes from an old file of %u bytes; patch %llu bytes, %zu covers\n",
                static_cast<unsigned long long>(w.newSize), (mebibytes << 20) + 4093,
                static_cast<unsigned long long>(w.patchSize), w.covers);

    double bestPatch = 1e30, bestCopy = 1e30;
    long peakKiB = 0;
    for (int i = 0; i < runs; ++i) {
      PatchRun run = run_hpatchi(oldPath, patchPath, newPath, logPath);
      if (run.exitCode != 0) {
        std::fprintf(stderr, "hpatchi failed with code %d; see its output:\n", run.exitCode);
        std::string cmd = "cat '" + logPath + "' >&2";
        std::system(cmd.c_str());
        return 2;
      }
      if (digest_file(newPath) != w.digest) {
        std::fprintf(stderr, "the patched file differs from the expected one\n");
        return 2;
      }
      double copy = copy_file(newPath, copyPath);
      std::printf("run %d: patch %.3f s (peak RSS %ld KiB), copy %.3f s\n", i + 1, run.seconds,
                  run.peakKiB, copy);
      bestPatch = std::min(bestPatch, run.seconds);
      bestCopy = std::min(bestCopy, copy);
      peakKiB = std::max(peakKiB, run.peakKiB);
      fs::remove(copyPath);
      if (i + 1 < runs || !dir.keep) fs::remove(newPath);
    }
    double patchRate = mib / bestPatch, copyRate = mib / bestCopy, ratio = patchRate / copyRate;
    std::printf("patch (hpatchi_run, uncompressed): %.1f MiB/s  (best of %d, %.3f s)\n", patchRate,
                runs, bestPatch);
    std::printf("copy  (read/write, 64 KiB buffer): %.1f MiB/s  (best of %d, %.3f s)\n", copyRate,
                runs, bestCopy);
    std::printf("ratio patch/copy: %.2f  (target >= 0.65: %s)\n", ratio,
                ratio >= 0.65 ? "met" : "missed");
    std::printf("patch peak resident memory: %ld KiB  (target < 4096 KiB: %s)\n", peakKiB,
                peakKiB < 4096 ? "met" : "missed");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "patch_apply_bench: %s\n", e.what());
    return 2;
  }
  return 0;
}
