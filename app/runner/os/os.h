// The one boundary between the runner's logic and the operating system.
// Everything here has a POSIX implementation (os_posix.cpp, files_posix.cpp, ...) and a Win32 one
// (os_win32.cpp, files_win32.cpp, ...).
//
// Paths are UTF-8 text everywhere in the runner; each call here converts them for the system
// (UTF-16 on Windows, taken as they are on POSIX). No path is ever held in an ANSI code page.
//
// Errors, one rule for this layer and the data folder above it: an operation that can fail takes
// a trailing std::error_code& and answers false, an empty optional or a null pointer, with the
// system's cause in the error; nothing here throws. Where the caller needs more than yes or no,
// an outcome says what happened (CaptureResult, FileLock::Outcome, EntryKind) beside the error.
// Steps whose failure nobody acts on (ClearReadOnly, SetEnvironment, the waits of a child)
// return nothing; the single-instance lock, which the runner goes on without, keeps its cause as
// log text. Exceptions are left for the failures that end the run: the "exists" test and the
// removal of a staging file throw std::filesystem::filesystem_error above this layer, and the
// supervisor catches them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace runner::os {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
// How a line of a text file ends, as the system's text streams write it.
constexpr const char* kTextLineEnd = "\r\n";
#else
constexpr char kPathSeparator = '/';
constexpr const char* kTextLineEnd = "\n";
#endif

// The user's roaming application-data folder, created when missing; nothing when the system
// cannot name one.
std::optional<std::string> RoamingFolder(std::error_code& error);

// True when a failed file-system lookup means that nothing is there: the generic "no such
// file" and "not a directory", and the system's own codes for a missing file, folder or
// network path or an invalid name.
bool IsNotFoundError(const std::error_code& error);

// True when a failed rename or removal may succeed once another process lets go of the file:
// a sharing or lock violation, access denied, a read-only file (Windows); a busy file (POSIX).
bool IsBusyError(const std::error_code& error);

// The full path of the running executable, however long.
std::optional<std::string> OwnExecutablePath(std::error_code& error);

// True when the runner runs with more rights than the user who owns the data folder has
// (an elevated token on Windows; set-user-ID, effective and real user differing, on POSIX).
bool IsProcessElevated();

// Sets a variable in the process environment, inherited by every child started later.
void SetEnvironment(const std::string& name, const std::string& value);

// A started application. Owns the OS handles of the child until it is destroyed.
class ChildProcess {
 public:
  // Starts `executable` with one switch (e.g. "--runner"), no shell in between, with the
  // runner's environment and working directory. Returns nothing when it cannot be started.
  static std::unique_ptr<ChildProcess> Start(const std::string& executable,
                                             const std::string& switchText, std::error_code& error);

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Waits, without a time limit, until the application first waits for input.
  void WaitForFirstIdle();
  // Gives the focus to the application's own top-level window with exactly this title, if it
  // has one.
  void FocusWindow(const std::string& title);
  // Waits, without a time limit, until the application has ended.
  void WaitForExit();

  struct Handles;

 private:
  explicit ChildProcess(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> m_handles;
};

// How a probe run ended.
// `captured`: the child ran and ended within the time limit; `output` holds what it wrote up to
//   then (a child that has ended is judged by that, whatever still holds the pipe open).
// `timedOut`: it was still running at the limit; it was stopped, with whatever it started.
// `notAProgram`: the file is missing or is not a program the system can run.
// `pipeFailed`, `startFailed`: the system would not run it this time for a reason that is not
//   about the file (no resources, an argument list too long, the file busy, access denied or a
//   policy refusal on Windows); nothing is known about the executable then.
enum class CaptureResult {
  captured,
  timedOut,
  notAProgram,
  pipeFailed,
  startFailed
};

// Runs `executable` with one switch, standard output and standard error both into one pipe
// (standard input the null device on POSIX, none on Windows). Keeps the first `keep` bytes of
// what it writes, each read up to its first NUL byte, in `output`; once it has written that much
// it is stopped and counts as captured. The clock of `limit` starts once the child runs. The child
// and everything it started are stopped before this returns.
CaptureResult CaptureOutput(const std::string& executable, const std::string& switchText,
                            std::size_t keep, std::chrono::milliseconds limit, std::string& output);

// Makes the process fit to run whatever it was started with: on POSIX, standard input, output
// and error that were closed are opened on the null device (before any other file can take
// their numbers), and SIGPIPE and SIGXFSZ are ignored, so a closed reader or a file size limit
// fails the write instead of ending the runner. Children get the signals' defaults back. On
// Windows, DLLs are looked up in System32 only.
void PrepareProcess();

}  // namespace runner::os

// ---- Files of the data folder ---------------------------------------------------------------
// Every process of the user can write the data folder, so the runner reaches nothing there
// through a link, reads only regular files and creates every file of its own afresh.
// Implemented in files_posix.cpp / files_win32.cpp and sha256_of_file.cpp.

namespace runner::os {

enum class EntryKind {
  absent,        // nothing at the path
  regularFile,   // a regular file, not reached through a link
  other,         // a link, a junction, a folder, a FIFO, a device or anything else
  unexaminable,  // the system could not say (a link loop, a name too long, no access)
};

// What stands at `path` itself; a link is never followed. `error` tells why for unexaminable.
// On Windows only name surrogates (symbolic links, junctions) count as links: a deduplicated or
// cloud placeholder file is a regular file.
EntryKind ExamineEntry(const std::string& path, std::error_code& error);

// What makes one file that one file: device and file number.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && file == other.file;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The identity of the regular file standing at `path` itself (a link is not followed); nothing
// when no regular file stands there.
std::optional<FileIdentity> IdentityAt(const std::string& path, std::error_code& error);

// True when something stands at `path`, links followed: the supervisor's existence test. An error
// other than "not found" is reported in `error` (and the answer is true).
bool PathExists(const std::string& path, std::error_code& error);

// Creates `folder` and every missing folder above it.
bool CreateFolders(const std::string& folder, std::error_code& error);

// The names in `folder` (not "." and ".."); nothing when it cannot be listed.
std::optional<std::vector<std::string>> ListFolder(const std::string& folder,
                                                   std::error_code& error);

// Renames `source` to `target` in one atomic, durable step; a file at `target` is replaced
// (itself, never through a link). Fails when `target` is a folder.
bool RenameEntry(const std::string& source, const std::string& target, std::error_code& error);

// Removes the file or link at `path` itself (an empty folder too); absent is an error here.
bool RemoveEntryItself(const std::string& path, std::error_code& error);

// Makes the entries made or removed in `folder` so far durable.
bool FlushFolder(const std::string& folder, std::error_code& error);

// Clears the read-only attribute of the file at `path` itself (Windows); nothing on POSIX.
void ClearReadOnly(const std::string& path);

// One open file. Owns the descriptor or handle until it is destroyed.
class DataFile {
 public:
  // Opens an existing regular file without following a link and without blocking (a FIFO
  // cannot hold the runner), and checks after opening that it is a regular file. Nothing when it
  // is absent or anything else; `kind` then says what stands there and `error` why. While it is
  // open, nobody else can write, rename or remove it on Windows; there, a file that another
  // process holds without sharing the access asked for is waited for a few seconds.
  static std::unique_ptr<DataFile> OpenRegular(const std::string& path, bool forWriting,
                                               EntryKind& kind, std::error_code& error);
  // Creates a new file for reading and writing, exclusively: it fails when anything at all
  // stands at `path`, a link included, so nothing is ever written through a link. Only the owner
  // may read and write it (0600; 0700 when `executable`), whatever the umask says.
  static std::unique_ptr<DataFile> CreateNew(const std::string& path, bool executable,
                                             std::error_code& error);
  // Opens a log file for appending, creating it (0600) when missing. Refuses, with `kind` other,
  // a link, anything but a regular file, and a file with more than one name (a hard link to a
  // file elsewhere).
  static std::unique_ptr<DataFile> OpenLog(const std::string& path, EntryKind& kind,
                                           std::error_code& error);

  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;
  ~DataFile();

  // The size of the file now.
  uint64_t Size(std::error_code& error) const;
  // Reads up to `count` bytes from the current position; 0 at the end. False on a read error.
  bool Read(void* buffer, size_t& count, std::error_code& error);
  // Reads up to `count` bytes at `position`, without moving the current position; fewer only at
  // the end of the file. False on a read error.
  bool ReadAt(uint64_t position, void* buffer, size_t& count, std::error_code& error);
  // Writes all `count` bytes at the current position. False (with the cause) otherwise.
  bool Write(const void* buffer, size_t count, std::error_code& error);
  // Moves the position back to the start.
  bool Rewind(std::error_code& error);
  // Forces the content to the disk.
  bool FlushToDisk(std::error_code& error);
  // This file's identity.
  std::optional<FileIdentity> Identity(std::error_code& error) const;
  // Moves this open file to `target`, replacing a regular file standing there, in one atomic,
  // durable step (through the handle on Windows, so the file moved is this one). Afterwards the
  // file's path is `target`. The caller checks with IdentityAt that `target` names this file.
  bool MoveTo(const std::string& target, std::error_code& error);
  // The path the file was opened or moved under.
  const std::string& Path() const { return m_path; }
  // A stdio stream over a duplicate of this file's handle, for a library that reads or writes
  // through stdio: it reaches this very file whatever is renamed or linked in its place. It
  // shares the file position with this object; the caller closes it.
  std::FILE* OpenStdio(const char* mode, std::error_code& error) const;

  struct Handle;

 private:
  DataFile(std::unique_ptr<Handle> handle, std::string path);
  std::unique_ptr<Handle> m_handle;
  std::string m_path;
};

// An exclusive lock on the file at `path`, held until the object is destroyed (flock on POSIX,
// a handle without sharing on Windows); the file is created when missing and never removed.
class FileLock {
 public:
  enum class Outcome {
    taken,
    heldByAnother,
    failed
  };
  // Tries once, without waiting. `kind` says what stands at `path` when it is no regular file.
  static std::unique_ptr<FileLock> TryTake(const std::string& path, Outcome& outcome,
                                           EntryKind& kind, std::error_code& error);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  struct Handle;

 private:
  explicit FileLock(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> m_handle;
};

// The bytes free for this user on the file system that holds `folder`; nothing when unknown.
std::optional<uint64_t> FreeSpace(const std::string& folder, std::error_code& error);

// The SHA-256 of everything `file` holds, from its start, as 64 lowercase hex digits; nothing
// (with the cause in `error`) when it cannot be read. The position is left at the end.
std::optional<std::string> Sha256OfFile(DataFile& file, std::error_code& error);

}  // namespace runner::os
