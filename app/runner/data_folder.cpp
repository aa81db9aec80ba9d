#include "app/runner/data_folder.h"

#include <easylogging++.h>

#include <filesystem>
#include <vector>

namespace runner {

namespace fs = std::filesystem;

std::optional<std::string> SetAside(const std::string& path, std::error_code& error) {
  for (int n = 1; n <= 100; ++n) {
    const std::string aside = path + ".aside-" + std::to_string(n);
    if (os::ExamineEntry(aside, error) != os::EntryKind::absent) continue;
    fs::rename(path, aside, error);
    if (!error) return aside;
    return std::nullopt;
  }
  error = std::make_error_code(std::errc::file_exists);
  return std::nullopt;
}

bool ClearEntry(const std::string& path, std::error_code& error) {
  error.clear();
  if (os::ExamineEntry(path, error) == os::EntryKind::absent) return true;
  std::error_code removal;
  fs::remove(path, removal);
  // Asked again rather than trusting the answer: where links are emulated, a removal can report
  // success while the entry stays.
  if (os::ExamineEntry(path, error) == os::EntryKind::absent) return true;
  const std::optional<std::string> aside = SetAside(path, error);
  if (aside) LOG(INFO) << EntryName(path) << " cannot be removed: set aside as " << EntryName(*aside);
  return aside.has_value();
}

std::unique_ptr<os::DataFile> CreateFresh(const std::string& path, std::error_code& error) {
  if (!ClearEntry(path, error)) return nullptr;
  return os::DataFile::CreateNew(path, error);
}

bool CopyContent(os::DataFile& source, os::DataFile& target, std::error_code& error) {
  std::vector<char> buffer(size_t(1) << 20);
  for (;;) {
    size_t count = buffer.size();
    if (!source.Read(buffer.data(), count, error)) return false;
    if (count == 0) return true;
    if (!target.Write(buffer.data(), count, error)) return false;
  }
}

bool ReadWhole(os::DataFile& file, std::string& bytes, std::error_code& error) {
  bytes.clear();
  char buffer[65536];
  for (;;) {
    size_t count = sizeof buffer;
    if (!file.Read(buffer, count, error)) return false;
    if (count == 0) return true;
    bytes.append(buffer, count);
  }
}

std::string EntryName(const std::string& path) { return fs::path(path).filename().string(); }

}  // namespace runner
