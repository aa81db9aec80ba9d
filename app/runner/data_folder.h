// Operations on the entries of the data folder, which any process of the user may have put
// there. Nothing there is ever removed or written through a name that may be a link: what stands
// at a name is first replaced, by a rename, with a file of the runner's own (a rename replaces a
// link itself on every system, while a removal can reach the link's target where links are
// emulated), and a folder or link in the way is set aside. A regular file that another process
// holds (a scanner, an indexer) is waited for a few seconds and otherwise left as it is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "app/runner/os/os.h"

namespace runner {

// Every name the runner gives an entry of the data folder, built once from the folder's path
// (which ends with a separator; empty when there is no data folder, and so is every name then).
struct DataFolder {
  explicit DataFolder(const std::string& folder = std::string());
  std::string folder;
  std::string logFile;           // logs.log
  std::string manifestFile;      // update.json
  std::string patchFile;         // Patch
  std::string stagedExecutable;  // Quorlin.exe
  std::string backupCopy;        // Quorlin_old.exe
  std::string patchResult;       // Quorlin_new.exe
  std::string crashHandler;      // crashpad_handler.exe
  std::string crashHandlerNew;   // crashpad_handler_new.exe
  std::string attemptsFile;      // update.attempts
  std::string probeFile;         // update.probe
  std::string installLock;       // update.lock
  bool empty() const { return folder.empty(); }
};

// The error of an install lock that another runner holds.
inline std::error_code HeldByAnotherRunner() {
  return std::make_error_code(std::errc::operation_in_progress);
}

// Takes the lock that keeps two runners from installing at once, whether or not the
// single-instance lock was to be had. Nothing when it is not taken; `error` then says why:
// HeldByAnotherRunner() or the system's cause (none only when the data folder is missing).
// Anything but a regular file at its name is set aside.
std::unique_ptr<os::FileLock> TakeInstallLock(const DataFolder& folder, std::error_code& error);

// Why the install lock was not taken, for the log; empty for no error.
std::string InstallLockProblem(const std::error_code& error);

// Moves the entry at `path`, whatever it is, to a free name beside it, "<name>.aside-<n>";
// returns that path, or nothing (with the cause) when it cannot be moved.
std::optional<std::string> SetAside(const std::string& path, std::error_code& error);

// Puts `source`, a file of the runner's, in the place of `target`, in one atomic, durable step;
// a regular file at `target` is replaced itself (waited for while another process holds it), a
// folder or link is set aside first (and logged).
bool MoveInPlace(const std::string& source, const std::string& target, std::error_code& error);

// The error of a move after which another process's file stood at the target.
inline std::error_code TakenMeanwhile() {
  return std::make_error_code(std::errc::state_not_recoverable);
}

// The same for an open file of the runner's, moved through its handle where the system allows.
// True only when `target` names that very file afterwards; TakenMeanwhile() otherwise.
bool MoveInPlace(os::DataFile& file, const std::string& target, std::error_code& error);

// Removes what stands at `path` without ever reaching through it; absent is fine. False (with
// the cause) when the name stays taken.
bool RemoveEntry(const std::string& path, std::error_code& error);

// Creates a new, empty file at `path`, open for reading and writing, in place of whatever stood
// there; never writes through a link. Only the owner may use it (and run it, when `executable`).
std::unique_ptr<os::DataFile> CreateFresh(const std::string& path, bool executable,
                                          std::error_code& error);

// Removes the "<name>.fresh-<n>" files an interrupted run left in `folder`.
void RemoveLeftoverFreshFiles(const std::string& folder);

// Copies `source` from its current position to its end into `target`.
bool CopyContent(os::DataFile& source, os::DataFile& target, std::error_code& error);

// Reads the whole of `file` into `bytes`; a file larger than `limit` is not read (false, with
// file_too_large).
bool ReadWhole(os::DataFile& file, std::string& bytes, std::error_code& error,
               uint64_t limit = UINT64_MAX);

// The last part of a path, for log lines.
std::string EntryName(const std::string& path);

}  // namespace runner
