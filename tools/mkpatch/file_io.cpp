#include "tools/mkpatch/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace mkpatch {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string reason() { return std::strerror(errno); }

}  // namespace

std::vector<uint8_t> read_file(const std::string& path, uint64_t maxSize) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::file_status st = fs::status(path, ec);
  if (ec) throw FileError("cannot read \"" + path + "\": " + ec.message());
  if (fs::is_directory(st)) throw FileError("cannot read \"" + path + "\": it is a directory");
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) throw FileError("cannot read \"" + path + "\": " + reason());
  uint64_t size = 0;
  if (fs::is_regular_file(st)) {
    size = fs::file_size(path, ec);
    if (ec) throw FileError("cannot read \"" + path + "\": " + ec.message());
    if (size > maxSize)
      throw FileError("\"" + path + "\" has " + std::to_string(size) +
                      " bytes; patches describe files of at most " + std::to_string(maxSize) +
                      " bytes");
  }
  std::vector<uint8_t> data(static_cast<size_t>(size));
  size_t got = data.empty() ? 0 : std::fread(data.data(), 1, data.size(), f.get());
  if (got != data.size()) {
    if (std::ferror(f.get())) throw FileError("cannot read \"" + path + "\": " + reason());
    data.resize(got);  // the file shrank while being read
  }
  // Whatever is there beyond the measured size (a pipe, or a file still growing).
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    if (data.size() + n > maxSize)
      throw FileError("\"" + path + "\" is larger than " + std::to_string(maxSize) + " bytes");
    data.insert(data.end(), buf, buf + n);
  }
  if (std::ferror(f.get())) throw FileError("cannot read \"" + path + "\": " + reason());
  return data;
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) throw FileError("cannot write \"" + path + "\": " + reason());
  if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f.get()) != data.size())
    throw FileError("cannot write \"" + path + "\": " + reason());
  std::FILE* raw = f.release();
  if (std::fclose(raw) != 0) throw FileError("cannot write \"" + path + "\": " + reason());
}

bool file_equals(const std::string& path, const std::vector<uint8_t>& data) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  std::vector<uint8_t> buf(size_t(1) << 20);
  size_t at = 0;
  for (;;) {
    size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
    if (n == 0) break;
    if (at + n > data.size() || std::memcmp(buf.data(), data.data() + at, n) != 0) return false;
    at += n;
  }
  return !std::ferror(f.get()) && at == data.size();
}

bool files_equal(const std::string& a, const std::string& b) {
  FilePtr fa(std::fopen(a.c_str(), "rb"));
  FilePtr fb(std::fopen(b.c_str(), "rb"));
  if (!fa || !fb) return false;
  constexpr size_t kBlock = size_t(1) << 16;
  std::vector<uint8_t> ba(kBlock), bb(kBlock);
  for (;;) {
    const size_t na = std::fread(ba.data(), 1, kBlock, fa.get());
    const size_t nb = std::fread(bb.data(), 1, kBlock, fb.get());
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) return false;
    if (na < kBlock) break;
  }
  return !std::ferror(fa.get()) && !std::ferror(fb.get());
}

}  // namespace mkpatch
