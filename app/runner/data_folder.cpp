#include "app/runner/data_folder.h"

#include <easylogging++.h>

#include <filesystem>
#include <vector>

namespace runner {

namespace fs = std::filesystem;

namespace {

// A new file under a free name beside `path`, "<name>.fresh-<n>", created exclusively.
std::unique_ptr<os::DataFile> CreateBeside(const std::string& path, std::string& made, std::error_code& error) {
  for (int n = 1; n <= 100; ++n) {
    made = path + ".fresh-" + std::to_string(n);
    std::unique_ptr<os::DataFile> file = os::DataFile::CreateNew(made, error);
    if (file || error != std::errc::file_exists) return file;
  }
  return nullptr;
}

bool Replace(const std::string& source, const std::string& target, std::error_code& error) {
  try {
    os::ReplaceFileAtomically(source, target);
    return true;
  } catch (const fs::filesystem_error& failure) {
    error = failure.code();
  }
  // Moved, and only making the move durable failed.
  std::error_code ignored;
  return os::ExamineEntry(source, ignored) == os::EntryKind::absent;
}

}  // namespace

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

bool MoveInPlace(const std::string& source, const std::string& target, std::error_code& error) {
  if (Replace(source, target, error)) return true;
  std::error_code ignored;
  if (os::ExamineEntry(target, ignored) == os::EntryKind::absent) return false;
  // A folder (or anything else a rename cannot replace) stands in the way.
  const std::optional<std::string> aside = SetAside(target, error);
  if (!aside) return false;
  LOG(INFO) << EntryName(target) << " cannot be removed: set aside as " << EntryName(*aside);
  return Replace(source, target, error);
}

bool RemoveEntry(const std::string& path, std::error_code& error) {
  error.clear();
  if (os::ExamineEntry(path, error) == os::EntryKind::absent) return !error;
  std::string made;
  if (!CreateBeside(path, made, error)) return false;
  std::error_code ignored;
  if (!MoveInPlace(made, path, error)) {
    fs::remove(made, ignored);
    return false;
  }
  // The name holds the runner's own empty file now.
  fs::remove(path, error);
  return !error;
}

std::unique_ptr<os::DataFile> CreateFresh(const std::string& path, std::error_code& error) {
  std::string made;
  std::unique_ptr<os::DataFile> file = CreateBeside(path, made, error);
  if (!file) return nullptr;
  // Closed for the move: an open file cannot be renamed on Windows.
  file.reset();
  std::error_code ignored;
  if (!MoveInPlace(made, path, error)) {
    fs::remove(made, ignored);
    return nullptr;
  }
  os::EntryKind kind;
  return os::DataFile::OpenRegular(path, true, kind, error);
}

void RemoveLeftoverFreshFiles(const std::string& folder) {
  std::error_code error;
  std::vector<std::string> leftovers;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    const std::string::size_type mark = name.rfind(".fresh-");
    if (mark != std::string::npos && mark + 7 < name.size() &&
        name.find_first_not_of("0123456789", mark + 7) == std::string::npos)
      leftovers.push_back(entry->path().string());
  }
  for (const std::string& leftover : leftovers) RemoveEntry(leftover, error);
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
