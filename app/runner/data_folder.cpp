#include "app/runner/data_folder.h"

#include <easylogging++.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace runner {

namespace {

// How long a file that another process holds is waited for before it is left for a later run.
constexpr std::chrono::milliseconds kBusyWait(3000);
constexpr std::chrono::milliseconds kBusyPause(100);

// Runs `attempt` until it succeeds, fails for a reason other than a busy file, or the wait is
// over. A read-only attribute is cleared between tries: every file the runner renames over or
// removes is one it may replace.
bool RetryWhileBusy(const std::string& target, const std::function<bool(std::error_code&)>& attempt,
                    std::error_code& error) {
  const auto giveUp = std::chrono::steady_clock::now() + kBusyWait;
  for (;;) {
    if (attempt(error)) return true;
    if (!os::IsBusyError(error) || std::chrono::steady_clock::now() >= giveUp) return false;
    os::ClearReadOnly(target);
    std::this_thread::sleep_for(kBusyPause);
  }
}

// Renames `source` to `target`. True also when the move took place and only making it durable
// failed.
bool Renamed(const std::string& source, const std::string& target, std::error_code& error) {
  if (os::RenameEntry(source, target, error)) return true;
  std::error_code ignored;
  return os::ExamineEntry(source, ignored) == os::EntryKind::absent &&
         os::ExamineEntry(target, ignored) != os::EntryKind::absent;
}

// Removes a file the runner made under a name of its own, should it still stand there.
void RemoveOwnFile(const std::string& path) {
  std::error_code ignored;
  if (os::ExamineEntry(path, ignored) == os::EntryKind::regularFile)
    os::RemoveEntryItself(path, ignored);
}

// A new file under a free name beside `path`, "<name>.fresh-<n>", created exclusively.
std::unique_ptr<os::DataFile> CreateBeside(const std::string& path, bool executable,
                                           std::error_code& error) {
  for (int n = 1; n <= 100; ++n) {
    std::unique_ptr<os::DataFile> file =
        os::DataFile::CreateNew(path + ".fresh-" + std::to_string(n), executable, error);
    if (file || error != std::errc::file_exists) return file;
  }
  return nullptr;
}

// Puts something in the place of `target` with `rename`: a regular file there is replaced (and
// waited for while it is busy), anything else is set aside first.
bool Replace(const std::string& target, const std::function<bool(std::error_code&)>& rename,
             std::error_code& error) {
  std::error_code examined;
  const os::EntryKind kind = os::ExamineEntry(target, examined);
  if (kind == os::EntryKind::absent || kind == os::EntryKind::regularFile) {
    if (RetryWhileBusy(target, rename, error)) return true;
    // Only something a rename cannot replace is set aside, never a busy file.
    if (os::ExamineEntry(target, examined) != os::EntryKind::other) return false;
  }
  const std::optional<std::string> aside = SetAside(target, error);
  if (!aside) return false;
  LOG(INFO) << EntryName(target) << " cannot be removed: set aside as " << EntryName(*aside);
  return RetryWhileBusy(target, rename, error);
}

}  // namespace

DataFolder::DataFolder(const std::string& dataFolder) : folder(dataFolder) {
  if (folder.empty()) return;
  logFile = folder + "logs.log";
  manifestFile = folder + "update.json";
  patchFile = folder + "Patch";
  stagedExecutable = folder + "Quorlin.exe";
  backupCopy = folder + "Quorlin_old.exe";
  patchResult = folder + "Quorlin_new.exe";
  crashHandler = folder + "crashpad_handler.exe";
  crashHandlerNew = folder + "crashpad_handler_new.exe";
  attemptsFile = folder + "update.attempts";
  probeFile = folder + "update.probe";
  installLock = folder + "update.lock";
}

std::unique_ptr<os::FileLock> TakeInstallLock(const DataFolder& folder, std::error_code& error) {
  error.clear();
  if (folder.empty()) return nullptr;
  for (int attempt = 0; attempt < 2; ++attempt) {
    os::FileLock::Outcome outcome;
    os::EntryKind kind = os::EntryKind::absent;
    if (std::unique_ptr<os::FileLock> lock =
            os::FileLock::TryTake(folder.installLock, outcome, kind, error))
      return lock;
    if (outcome == os::FileLock::Outcome::heldByAnother) {
      error = HeldByAnotherRunner();
      return nullptr;
    }
    if (kind != os::EntryKind::other) return nullptr;
    // The lock's own cause is the one told, should the entry stay in the way.
    std::error_code asideError;
    const std::optional<std::string> aside = SetAside(folder.installLock, asideError);
    if (!aside) return nullptr;
    LOG(INFO) << "update.lock is not a regular file: set aside as " << EntryName(*aside);
  }
  return nullptr;
}

std::string InstallLockProblem(const std::error_code& error) {
  if (!error) return std::string();
  if (error == HeldByAnotherRunner()) return "another runner is installing";
  return "update.lock cannot be locked: " + error.message();
}

std::optional<std::string> SetAside(const std::string& path, std::error_code& error) {
  for (int n = 1; n <= 100; ++n) {
    const std::string aside = path + ".aside-" + std::to_string(n);
    if (os::ExamineEntry(aside, error) != os::EntryKind::absent) continue;
    if (Renamed(path, aside, error)) return aside;
    return std::nullopt;
  }
  error = std::make_error_code(std::errc::file_exists);
  return std::nullopt;
}

bool MoveInPlace(const std::string& source, const std::string& target, std::error_code& error) {
  return Replace(
      target, [&](std::error_code& cause) { return Renamed(source, target, cause); }, error);
}

bool MoveInPlace(os::DataFile& file, const std::string& target, std::error_code& error) {
  if (!Replace(
          target, [&](std::error_code& cause) { return file.MoveTo(target, cause); }, error))
    return false;
  // Another process may have renamed something over the name between the move and now.
  std::error_code ignored;
  const std::optional<os::FileIdentity> own = file.Identity(ignored);
  if (own && os::IdentityAt(target, ignored) == own) return true;
  error = TakenMeanwhile();
  return false;
}

bool RemoveEntry(const std::string& path, std::error_code& error) {
  error.clear();
  if (os::ExamineEntry(path, error) == os::EntryKind::absent) return !error;
  std::unique_ptr<os::DataFile> placeholder = CreateBeside(path, false, error);
  if (!placeholder) return false;
  const std::string made = placeholder->Path();
  if (!MoveInPlace(*placeholder, path, error)) {
    placeholder.reset();
    RemoveOwnFile(made);
    return false;
  }
  // The name holds the runner's own empty file now, closed before it goes (Windows keeps an open
  // file's name).
  placeholder.reset();
  return RetryWhileBusy(
      path, [&](std::error_code& cause) { return os::RemoveEntryItself(path, cause); }, error);
}

std::unique_ptr<os::DataFile> CreateFresh(const std::string& path, bool executable,
                                          std::error_code& error) {
  std::unique_ptr<os::DataFile> file = CreateBeside(path, executable, error);
  if (!file) return nullptr;
  const std::string made = file->Path();
  if (MoveInPlace(*file, path, error)) return file;
  file.reset();
  RemoveOwnFile(made);
  return nullptr;
}

void RemoveLeftoverFreshFiles(const std::string& folder) {
  std::error_code error;
  const std::optional<std::vector<std::string>> names = os::ListFolder(folder, error);
  if (!names) return;
  const bool separated =
      !folder.empty() && (folder.back() == '/' || folder.back() == os::kPathSeparator);
  const std::string prefix = separated ? folder : folder + os::kPathSeparator;
  for (const std::string& name : *names) {
    const std::string::size_type mark = name.rfind(".fresh-");
    if (mark != std::string::npos && mark + 7 < name.size() &&
        name.find_first_not_of("0123456789", mark + 7) == std::string::npos)
      RemoveEntry(prefix + name, error);
  }
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

bool ReadWhole(os::DataFile& file, std::string& bytes, std::error_code& error, uint64_t limit) {
  bytes.clear();
  char buffer[65536];
  for (;;) {
    size_t count = sizeof buffer;
    if (!file.Read(buffer, count, error)) return false;
    if (count == 0) return true;
    if (bytes.size() + count > limit) {
      error = std::make_error_code(std::errc::file_too_large);
      return false;
    }
    bytes.append(buffer, count);
  }
}

std::string EntryName(const std::string& path) {
  const std::string::size_type cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace runner
