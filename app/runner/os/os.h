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
