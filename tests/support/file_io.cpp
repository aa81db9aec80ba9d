#include "tests/support/file_io.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace hl_test {

namespace {

template <typename Container>
Container read_whole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Container(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_whole(const std::filesystem::path& path, const char* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  return read_whole<std::vector<uint8_t>>(path);
}

std::string read_text(const std::filesystem::path& path) { return read_whole<std::string>(path); }

std::string read_text_if_present(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::exists(path, error) ? read_text(path) : std::string();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& data) {
  write_whole(path, reinterpret_cast<const char*>(data.data()), data.size());
}

void write_text(const std::filesystem::path& path, const std::string& text) {
  write_whole(path, text.data(), text.size());
}

}  // namespace hl_test
