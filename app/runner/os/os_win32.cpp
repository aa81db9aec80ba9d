// Win32 side of the OS boundary: shell folder, CreateProcessA, the probe's anonymous pipe.
#include "app/runner/os/os.h"
#include "app/runner/os/wide_text_win32.h"

#include <windows.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace runner::os {
namespace {

std::error_code LastError() { return std::error_code(static_cast<int>(::GetLastError()), std::system_category()); }

// Closes a kernel handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : m_handle(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  HANDLE Get() const { return m_handle; }
  HANDLE* Receive() { return &m_handle; }
  void Close() {
    if (m_handle != nullptr) ::CloseHandle(m_handle);
    m_handle = nullptr;
  }

 private:
  HANDLE m_handle;
};

// The path goes in quotes so that a folder name with a space cannot start another program.
std::vector<char> CommandLine(const std::string& executable, const std::string& switchText) {
  const std::string line = "\"" + executable + "\" " + switchText;
  return std::vector<char>(line.begin(), line.end() + 1);
}

// The wide text in `codePage`; nothing when a character has no exact counterpart there.
std::optional<std::string> Narrow(const wchar_t* wide, UINT codePage) {
  BOOL lossy = FALSE;
  // The UTF-8 code page has every character and takes no loss report.
  BOOL* lossReport = codePage == CP_UTF8 ? nullptr : &lossy;
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int length = ::WideCharToMultiByte(codePage, flags, wide, -1, nullptr, 0, nullptr, lossReport);
  if (length <= 0 || lossy) return std::nullopt;
  std::string narrow(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(codePage, flags, wide, -1, narrow.data(), length, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(length - 1));
  return narrow;
}

}  // namespace

std::optional<std::string> RoamingFolder() {
  wchar_t folder[MAX_PATH] = {};
  // 0x801A: roaming application data, created when missing.
  if (::SHGetFolderPathW(nullptr, 0x801A, nullptr, 0, folder) < 0) return std::nullopt;
  // Every later use reads narrow paths in the ANSI code page. A folder name that code page
  // cannot spell is reached through its short (8.3) name; without one there is no narrow path
  // that names the folder the shell returned.
  if (std::optional<std::string> narrow = Narrow(folder, CP_ACP)) return narrow;
  wchar_t shortFolder[MAX_PATH] = {};
  const DWORD length = ::GetShortPathNameW(folder, shortFolder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  return Narrow(shortFolder, CP_ACP);
}

bool IsNotFoundError(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) return true;
  const int code = error.value();
  return error.category() == std::system_category() &&
         (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH ||
          code == ERROR_INVALID_NAME);
}

std::string PatchEnginePath(const std::string& path) {
  const std::wstring wide = Widen(path);
  if (wide.empty()) return path;
  return Narrow(wide.c_str(), CP_UTF8).value_or(path);
}

std::string OwnExecutablePath() {
  char buffer[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, length);
}

void SetEnvironment(const std::string& name, const std::string& value) { ::_putenv_s(name.c_str(), value.c_str()); }

struct ChildProcess::Handles {
  Handle process;
  Handle thread;
};

ChildProcess::ChildProcess(std::unique_ptr<Handles> handles) : m_handles(std::move(handles)) {}

ChildProcess::~ChildProcess() {
  m_handles->process.Close();
  m_handles->thread.Close();
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& executable, const std::string& switchText) {
  std::vector<char> commandLine = CommandLine(executable, switchText);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started))
    return nullptr;
  auto handles = std::make_unique<Handles>();
  *handles->process.Receive() = started.hProcess;
  *handles->thread.Receive() = started.hThread;
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(handles)));
}

void ChildProcess::WaitForFirstIdle() { ::WaitForInputIdle(m_handles->process.Get(), INFINITE); }

void ChildProcess::WaitForExit() { ::WaitForSingleObject(m_handles->process.Get(), INFINITE); }

// SetFocus acts only on the calling thread's own windows, and the application's window is another
// process's: it is brought to the foreground first, which does give it the focus.
void FocusWindow(const std::string& title) {
  const HWND window = ::FindWindowW(nullptr, Widen(title).c_str());
  if (window != nullptr) ::SetForegroundWindow(window);
  ::SetFocus(window);
}

namespace {

// A start that failed for want of resources, or on a file another process holds, says nothing
// about the executable; any other failure means the system cannot run it.
bool IsPassingShortage(DWORD error) {
  switch (error) {
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
      return true;
    default:
      return false;
  }
}

// Milliseconds left until `deadline` of GetTickCount64, 0 when it has passed.
DWORD MillisecondsLeft(ULONGLONG deadline) {
  const ULONGLONG now = ::GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// A process attribute list that names the one handle a child is to inherit. Empty (List() is
// null) when the system cannot make one; the child then inherits every inheritable handle.
class InheritedHandle {
 public:
  explicit InheritedHandle(HANDLE handle) : m_handle(handle) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return;
    m_buffer.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_buffer.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    // The list keeps the address of m_handle, which lives as long as the list.
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &m_handle, sizeof m_handle,
                                     nullptr, nullptr)) {
      ::DeleteProcThreadAttributeList(list);
      return;
    }
    m_list = list;
  }
  InheritedHandle(const InheritedHandle&) = delete;
  InheritedHandle& operator=(const InheritedHandle&) = delete;
  ~InheritedHandle() {
    if (m_list != nullptr) ::DeleteProcThreadAttributeList(m_list);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST List() const { return m_list; }

 private:
  HANDLE m_handle;
  std::vector<char> m_buffer;
  LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
};

// Stops every process of `job` and waits, for at most a second, until they are all gone:
// the image of a running program cannot be removed. False when the job could not be stopped.
bool StopJob(HANDLE job) {
  if (!::TerminateJobObject(job, 1)) return false;
  for (int wait = 0; wait < 100; ++wait) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                     nullptr) ||
        accounting.ActiveProcesses == 0)
      break;
    ::Sleep(10);
  }
  return true;
}

}  // namespace

CaptureResult CaptureOutput(const std::string& executable, const std::string& switchText, std::size_t keep,
                            std::chrono::milliseconds limit, std::string& output) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(limit.count());
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof inheritable;
  inheritable.lpSecurityDescriptor = nullptr;
  inheritable.bInheritHandle = TRUE;
  Handle readEnd;
  Handle writeEnd;
  if (!::CreatePipe(readEnd.Receive(), writeEnd.Receive(), &inheritable, 0)) return CaptureResult::pipeFailed;
  // Only the write end may pass to the child.
  ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

  std::vector<char> commandLine = CommandLine(executable, switchText);
  // The write end alone passes to the child: the C runtime opens its files inheritable, the log
  // file among them, and those stay the runner's.
  const InheritedHandle inherited(writeEnd.Get());
  STARTUPINFOEXA startup = {};
  startup.StartupInfo.cb = inherited.List() != nullptr ? sizeof startup : sizeof startup.StartupInfo;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nullptr;
  startup.StartupInfo.hStdOutput = writeEnd.Get();
  startup.StartupInfo.hStdError = writeEnd.Get();
  startup.lpAttributeList = inherited.List();
  // Started suspended, so that it is in the job before it can start anything of its own.
  const DWORD flags = CREATE_SUSPENDED | (inherited.List() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, &started))
    return IsPassingShortage(::GetLastError()) ? CaptureResult::startFailed : CaptureResult::notAProgram;
  Handle process(started.hProcess);
  Handle thread(started.hThread);
  writeEnd.Close();
  // The job holds the child and whatever it starts, so that giving up on the probe stops them all.
  // Without one (the runner's own job may forbid it) only the child itself is stopped.
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (job.Get() != nullptr && !::AssignProcessToJobObject(job.Get(), process.Get())) job.Close();
  ::ResumeThread(thread.Get());

  // ReadFile on the pipe would wait without a limit: it is only called for bytes that are there.
  bool inTime = true;
  char buffer[4096];
  for (;;) {
    // Checked before every read too: a child that writes without pause never leaves the pipe empty.
    if (MillisecondsLeft(deadline) == 0) {
      inTime = false;
      break;
    }
    DWORD available = 0;
    // Fails once every writer, the child and whatever it handed the pipe to, is gone.
    if (!::PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr)) break;
    if (available == 0) {
      ::Sleep(10);
      continue;
    }
    DWORD count = 0;
    const DWORD wanted = available < 4095 ? available : 4095;
    if (!::ReadFile(readEnd.Get(), buffer, wanted, &count, nullptr) || count == 0) break;
    // Up to the first NUL byte of each read, as the probe reads it.
    const std::size_t piece = ::strnlen(buffer, count);
    if (output.size() < keep) output.append(buffer, piece < keep - output.size() ? piece : keep - output.size());
  }
  readEnd.Close();
  if (!inTime || ::WaitForSingleObject(process.Get(), MillisecondsLeft(deadline)) != WAIT_OBJECT_0) {
    if (job.Get() == nullptr || !StopJob(job.Get())) ::TerminateProcess(process.Get(), 1);
    ::WaitForSingleObject(process.Get(), INFINITE);
    inTime = false;
  }
  process.Close();
  thread.Close();
  return inTime ? CaptureResult::captured : CaptureResult::timedOut;
}

// A GUI-subsystem process starts without standard streams, and its writes to them go nowhere;
// nothing to prepare.
void PrepareProcess() {}

void FlushFileToDisk(const std::string& path) {
  int file = -1;
  if (::_sopen_s(&file, path.c_str(), _O_RDWR | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0)
    throw std::filesystem::filesystem_error("flush", path, std::error_code(errno, std::generic_category()));
  const int flushed = ::_commit(file);
  const int error = errno;
  ::_close(file);
  if (flushed != 0) throw std::filesystem::filesystem_error("flush", path, std::error_code(error, std::generic_category()));
}

// Folder entries cannot be flushed through the C runtime; MOVEFILE_WRITE_THROUGH makes the
// replace itself durable.
void FlushFolder(const std::string&) {}

void ReplaceFileAtomically(const std::string& source, const std::string& target) {
  if (!::MoveFileExW(Widen(source).c_str(), Widen(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    throw std::filesystem::filesystem_error("rename", source, target, LastError());
}

// Windows has no execute bit; every file may be started.
void CopyExecutePermission(const std::string&, const std::string&) {}

}  // namespace runner::os
