// The one boundary between the runner's logic and the operating system.
// Everything here has a POSIX implementation (os_posix.cpp) and a Win32 one (os_win32.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace runner::os {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// The user's roaming application-data folder, created when missing; nothing when the
// system cannot name one, or (on Windows) when no narrow path names it.
std::optional<std::string> RoamingFolder();

// True when a failed file-system lookup means that nothing is there: the generic "no such
// file" and "not a directory", and the system's own codes for a missing file, folder or
// network path or an invalid name.
bool IsNotFoundError(const std::error_code& error);

// `path`, one of the runner's own paths, as the patch engine reads paths: in UTF-8. On Windows
// the runner's paths are in the ANSI code page; elsewhere they are passed on as they are.
std::string PatchEnginePath(const std::string& path);

// The full path of the running executable.
std::string OwnExecutablePath();

// Sets a variable in the process environment, inherited by every child started later.
void SetEnvironment(const std::string& name, const std::string& value);

// A started application. Owns the OS handles of the child until it is destroyed.
class ChildProcess {
 public:
  // Starts `executable` with one switch (e.g. "--runner"), no shell in between, with the
  // runner's environment and working directory. Returns nothing when it cannot be started.
  static std::unique_ptr<ChildProcess> Start(const std::string& executable, const std::string& switchText);

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Waits, without a time limit, until the application first waits for input.
  void WaitForFirstIdle();
  // Waits, without a time limit, until the application has ended.
  void WaitForExit();

  struct Handles;

 private:
  explicit ChildProcess(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> m_handles;
};

// Gives the focus to the top-level window with exactly this title, if there is one.
void FocusWindow(const std::string& title);

// How a probe run ended. `captured`: the child ran and ended within the time limit.
// `timedOut`: it was still running, or its output still open, at the limit; it was killed.
// `notAProgram`: the executable is missing or the system cannot run it. `pipeFailed` and
// `startFailed`: the system could not provide the pipe or the process this time (resources
// exhausted, the file busy); nothing is known about the executable then.
enum class CaptureResult { captured, timedOut, notAProgram, pipeFailed, startFailed };

// Runs `executable` with one switch, standard output and standard error both into one pipe
// (standard input the null device on POSIX, none on Windows). Keeps the first `keep` bytes of
// what it writes, each read up to its first NUL byte, in `output`, and reads and discards the
// rest until the pipe closes and the child has ended. A child that has not got that far within
// `limit` is killed (on POSIX with the process group it leads) and reaped.
CaptureResult CaptureOutput(const std::string& executable, const std::string& switchText, std::size_t keep,
                            std::chrono::milliseconds limit, std::string& output);

// Makes the process fit to run whatever it was started with: on POSIX, standard input, output
// and error that were closed are opened on the null device (before any other file can take
// their numbers), and SIGPIPE and SIGXFSZ are ignored, so a closed reader or a file size limit
// fails the write instead of ending the runner. Children get the signals' defaults back.
void PrepareProcess();

// Forces the content of a written file to the disk. Throws std::filesystem::filesystem_error.
void FlushFileToDisk(const std::string& path);

// Replaces `target` with `source` in one atomic step, durably. Throws
// std::filesystem::filesystem_error; on failure `target` is as it was.
void ReplaceFileAtomically(const std::string& source, const std::string& target);

// Makes the entries made or removed in `folder` so far durable. Throws
// std::filesystem::filesystem_error.
void FlushFolder(const std::string& folder);

// Gives `path` the same permission to be executed as `model` has.
void CopyExecutePermission(const std::string& model, const std::string& path);

}  // namespace runner::os

// ---- Files of the data folder ---------------------------------------------------------------
// Every process of the user can write the data folder, so the runner reaches nothing there
// through a link, reads only regular files and creates every file of its own afresh.
// Implemented in files_posix.cpp / files_win32.cpp and sha256_posix.cpp / sha256_win32.cpp.

#include <cstdint>
#include <system_error>

namespace runner::os {

enum class EntryKind {
  absent,        // nothing at the path
  regularFile,   // a regular file, not reached through a link
  other,         // a link, a folder, a FIFO, a device or anything else
  unexaminable,  // the system could not say (a link loop, a name too long, no access)
};

// What stands at `path` itself; a link is never followed. `error` tells why for unexaminable.
EntryKind ExamineEntry(const std::string& path, std::error_code& error);

// One open file. Owns the descriptor or handle until it is destroyed.
class DataFile {
 public:
  // Opens an existing regular file without following a link and without blocking (a FIFO
  // cannot hold the runner), and checks after opening that it is a regular file. Nothing when it
  // is absent or anything else; `kind` then says what stands there and `error` why. While it is
  // open, nobody else can write, rename or remove it on Windows.
  static std::unique_ptr<DataFile> OpenRegular(const std::string& path, bool forWriting, EntryKind& kind,
                                               std::error_code& error);
  // Creates a new file for reading and writing, exclusively: it fails when anything at all
  // stands at `path`, a link included, so nothing is ever written through a link.
  static std::unique_ptr<DataFile> CreateNew(const std::string& path, std::error_code& error);

  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;
  ~DataFile();

  // The size of the file now.
  uint64_t Size(std::error_code& error) const;
  // Reads up to `count` bytes from the current position; 0 at the end. False on a read error.
  bool Read(void* buffer, size_t& count, std::error_code& error);
  // Writes all `count` bytes at the current position. False (with the cause) otherwise.
  bool Write(const void* buffer, size_t count, std::error_code& error);
  // Moves the position back to the start.
  bool Rewind(std::error_code& error);
  // Forces the content to the disk.
  bool FlushToDisk(std::error_code& error);
  // Gives the file the same permission to be executed as the file at `model` has.
  void CopyExecutePermissionFrom(const std::string& model);
  // A path by which a later open, by this process, reaches this very file while it stays open,
  // whatever is renamed or linked in its place meanwhile.
  std::string PathWhileOpen() const;

  struct Handle;

 private:
  DataFile(std::unique_ptr<Handle> handle, std::string path);
  std::unique_ptr<Handle> m_handle;
  std::string m_path;
};

// The bytes free for this user on the file system that holds `folder`; nothing when unknown.
std::optional<uint64_t> FreeSpace(const std::string& folder);

// The SHA-256 of everything `file` holds, from its start, as 64 lowercase hex digits; nothing
// (with the cause in `error`) when it cannot be read. The position is left at the end.
std::optional<std::string> Sha256OfFile(DataFile& file, std::error_code& error);

}  // namespace runner::os
