// Win32 side of the OS boundary: the known roaming folder, CreateProcessW, the probe's pipe and
// job.
#include "app/runner/os/os.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <stdlib.h>

#include <cstring>
#include <vector>

#include "app/runner/os/owned_handle_win32.h"
#include "app/runner/os/wide_text_win32.h"

namespace runner::os {
namespace {

std::error_code LastError() {
  return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

// The path goes in quotes so that a folder name with a space cannot start another program.
// Nothing when the path is no UTF-8.
std::optional<std::vector<wchar_t>> CommandLine(const std::string& executable,
                                                const std::string& switchText) {
  const std::optional<std::wstring> line = Widen("\"" + executable + "\" " + switchText);
  if (!line) return std::nullopt;
  return std::vector<wchar_t>(line->c_str(), line->c_str() + line->size() + 1);
}

}  // namespace

std::optional<std::string> RoamingFolder(std::error_code& error) {
  error.clear();
  PWSTR folder = nullptr;
  const HRESULT result =
      ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_CREATE, nullptr, &folder);
  std::optional<std::string> narrow;
  if (SUCCEEDED(result) && folder != nullptr) narrow = Narrow(folder, std::wcslen(folder));
  ::CoTaskMemFree(folder);
  if (narrow && !narrow->empty()) return narrow;
  // The system's text for an HRESULT is looked up like that of an error code.
  error = FAILED(result) ? std::error_code(static_cast<int>(result), std::system_category())
                         : std::make_error_code(std::errc::illegal_byte_sequence);
  return std::nullopt;
}

bool IsNotFoundError(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
    return true;
  const int code = error.value();
  return error.category() == std::system_category() &&
         (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
          code == ERROR_BAD_NETPATH || code == ERROR_INVALID_NAME);
}

// A scanner, an indexer or a backup program holding the file: it lets go within moments. Access
// denied is among them: it is also what a file pending deletion and a read-only file answer.
bool IsBusyError(const std::error_code& error) {
  if (error == std::errc::device_or_resource_busy || error == std::errc::text_file_busy)
    return true;
  if (error.category() != std::system_category()) return false;
  switch (error.value()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_DELETE_PENDING:
    case ERROR_DRIVE_LOCKED:
      return true;
    default:
      return false;
  }
}

std::optional<std::string> OwnExecutablePath(std::error_code& error) {
  error.clear();
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      error = LastError();
      return std::nullopt;
    }
    // A path that filled the buffer may have been cut: asked again with room to spare.
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    if (buffer.size() >= 0x10000) {
      error = std::make_error_code(std::errc::filename_too_long);
      return std::nullopt;
    }
    buffer.resize(buffer.size() * 2);
  }
  std::optional<std::string> path = Narrow(buffer);
  if (!path) error = std::make_error_code(std::errc::illegal_byte_sequence);
  return path;
}

// Elevated: the full token of a user who otherwise runs with a limited one (UAC). With UAC off
// (the default elevation type) every process of the user has the same rights, so nothing differs.
bool IsProcessElevated() {
  OwnedHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
  TOKEN_ELEVATION elevation = {};
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  if (!::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size) ||
      !::GetTokenInformation(token.Get(), TokenElevationType, &type, sizeof type, &size))
    return false;
  return elevation.TokenIsElevated != 0 && type == TokenElevationTypeFull;
}

// The system's environment block is what CreateProcessW hands on; the C runtime keeps a copy of
// its own, for getenv in this process.
void SetEnvironment(const std::string& name, const std::string& value) {
  const std::optional<std::wstring> wideName = Widen(name);
  const std::optional<std::wstring> wideValue = Widen(value);
  if (!wideName || !wideValue) return;
  ::SetEnvironmentVariableW(wideName->c_str(), wideValue->c_str());
  ::_wputenv((*wideName + L"=" + *wideValue).c_str());
}

struct ChildProcess::Handles {
  OwnedHandle process;
  OwnedHandle thread;
  DWORD processId = 0;
};

ChildProcess::ChildProcess(std::unique_ptr<Handles> handles) : m_handles(std::move(handles)) {}

ChildProcess::~ChildProcess() {
  m_handles->process.Close();
  m_handles->thread.Close();
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& executable,
                                                  const std::string& switchText,
                                                  std::error_code& error) {
  error.clear();
  std::optional<std::vector<wchar_t>> commandLine = CommandLine(executable, switchText);
  if (!commandLine) {
    error = std::make_error_code(std::errc::illegal_byte_sequence);
    return nullptr;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessW(nullptr, commandLine->data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &started)) {
    error = LastError();
    return nullptr;
  }
  auto handles = std::make_unique<Handles>();
  *handles->process.Receive() = started.hProcess;
  *handles->thread.Receive() = started.hThread;
  handles->processId = started.dwProcessId;
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(handles)));
}

void ChildProcess::WaitForFirstIdle() { ::WaitForInputIdle(m_handles->process.Get(), INFINITE); }

void ChildProcess::WaitForExit() { ::WaitForSingleObject(m_handles->process.Get(), INFINITE); }

namespace {

struct WindowSearch {
  DWORD processId;
  std::wstring title;
  HWND found = nullptr;
};

BOOL CALLBACK TakeWindowOfProcess(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId) return TRUE;
  const int length = ::GetWindowTextLengthW(window);
  if (length != static_cast<int>(search->title.size())) return TRUE;
  std::wstring title(static_cast<size_t>(length) + 1, L'\0');
  title.resize(static_cast<size_t>(::GetWindowTextW(window, title.data(), length + 1)));
  if (title != search->title) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

// Only the application's own window: another program's window may carry the same title. SetFocus
// acts on the calling thread's windows only, so the window is brought to the foreground, which
// gives it the focus; SetFocus is kept for the systems that let it through.
void ChildProcess::FocusWindow(const std::string& title) {
  std::optional<std::wstring> wideTitle = Widen(title);
  if (!wideTitle) return;
  WindowSearch search{m_handles->processId, std::move(*wideTitle)};
  ::EnumWindows(TakeWindowOfProcess, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return;
  ::SetForegroundWindow(search.found);
  ::SetFocus(search.found);
}

namespace {

// Codes that MinGW-w64's winerror.h does not name.
constexpr DWORD kVirusInfected = 225;
constexpr DWORD kVirusDeleted = 226;
constexpr DWORD kInvalidImageHash = 577;
constexpr DWORD kElevationRequired = 740;
constexpr DWORD kAccessDisabledNoSaferUiByPolicy = 786;

// A start refused for a reason that is not about the file: no resources, the file held by
// another process, an access or policy refusal, a virus scanner's verdict, elevation wanted.
// The executable may run another time, or for someone else.
bool IsRefusalNotAboutTheFile(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_ACCESS_DISABLED_BY_POLICY:
    case kAccessDisabledNoSaferUiByPolicy:
    case kVirusInfected:
    case kVirusDeleted:
    case kElevationRequired:
    case kInvalidImageHash:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_DELETE_PENDING:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_WORKING_SET_QUOTA:
    case ERROR_PAGEFILE_QUOTA:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_MAX_THRDS_REACHED:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_NOT_READY:
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
      return true;
    default:
      // A missing file or folder, a bad image (ERROR_BAD_EXE_FORMAT, ERROR_INVALID_EXE_SIGNATURE,
      // ERROR_EXE_MACHINE_TYPE_MISMATCH, ERROR_EXE_MARKED_INVALID, ERROR_BAD_FORMAT ...).
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
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &m_handle,
                                     sizeof m_handle, nullptr, nullptr)) {
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

// The error mode a probe child starts with, inherited from this process for the one
// CreateProcessW call: a staged executable that lacks a DLL, or crashes, ends without a dialog
// that would wait for a user who is not looking.
class QuietErrorMode {
 public:
  QuietErrorMode()
      : m_previous(::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX |
                                  SEM_NOGPFAULTERRORBOX)) {
    ::SetErrorMode(m_previous | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX |
                   SEM_NOGPFAULTERRORBOX);
  }
  QuietErrorMode(const QuietErrorMode&) = delete;
  QuietErrorMode& operator=(const QuietErrorMode&) = delete;
  ~QuietErrorMode() { ::SetErrorMode(m_previous); }

 private:
  UINT m_previous;
};

// Stops every process of `job` and waits, for at most a second, until they are all gone:
// the image of a running program cannot be removed. False when the job could not be stopped.
bool StopJob(HANDLE job) {
  if (!::TerminateJobObject(job, 1)) return false;
  for (int wait = 0; wait < 100; ++wait) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr) ||
        accounting.ActiveProcesses == 0)
      break;
    ::Sleep(10);
  }
  return true;
}

// Appends what one read gave, up to its first NUL byte, as the probe reads it, to the kept bytes.
void Keep(const char* buffer, std::size_t count, std::size_t keep, std::string& output) {
  const std::size_t piece = ::strnlen(buffer, count);
  if (output.size() < keep)
    output.append(buffer, piece < keep - output.size() ? piece : keep - output.size());
}

// Reads what the pipe holds now, in a bounded number of reads, so that a child writing without
// pause does not keep the clock from being looked at. False once the pipe is broken: every
// writer, the child and whatever it handed the pipe to, is gone.
bool DrainAvailable(HANDLE readEnd, std::size_t keep, std::string& output) {
  char buffer[4096];
  for (int reads = 0; reads < 256; ++reads) {
    DWORD available = 0;
    if (!::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) return false;
    // ReadFile on an empty pipe would wait without a limit.
    if (available == 0) return true;
    DWORD count = 0;
    const DWORD wanted = available < sizeof buffer - 1 ? available : sizeof buffer - 1;
    if (!::ReadFile(readEnd, buffer, wanted, &count, nullptr) || count == 0) return false;
    Keep(buffer, count, keep, output);
  }
  return true;
}

}  // namespace

CaptureResult CaptureOutput(const std::string& executable, const std::string& switchText,
                            std::size_t keep, std::chrono::milliseconds limit,
                            std::string& output) {
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof inheritable;
  inheritable.lpSecurityDescriptor = nullptr;
  inheritable.bInheritHandle = TRUE;
  OwnedHandle readEnd;
  OwnedHandle writeEnd;
  if (!::CreatePipe(readEnd.Receive(), writeEnd.Receive(), &inheritable, 0))
    return CaptureResult::pipeFailed;
  // Only the write end may pass to the child.
  ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

  std::optional<std::vector<wchar_t>> commandLine = CommandLine(executable, switchText);
  if (!commandLine) return CaptureResult::notAProgram;
  // The write end alone passes to the child: the C runtime opens its files inheritable, the log
  // file among them, and those stay the runner's.
  const InheritedHandle inherited(writeEnd.Get());
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb =
      inherited.List() != nullptr ? sizeof startup : sizeof startup.StartupInfo;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nullptr;
  startup.StartupInfo.hStdOutput = writeEnd.Get();
  startup.StartupInfo.hStdError = writeEnd.Get();
  startup.lpAttributeList = inherited.List();
  // Started suspended, so that it is in the job before it can start anything of its own; a
  // console program gets no console window.
  const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW |
                      (inherited.List() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
  PROCESS_INFORMATION started = {};
  BOOL created;
  DWORD startError = ERROR_SUCCESS;
  {
    const QuietErrorMode quiet;
    created = ::CreateProcessW(nullptr, commandLine->data(), nullptr, nullptr, TRUE, flags, nullptr,
                               nullptr, &startup.StartupInfo, &started);
    if (!created) startError = ::GetLastError();
  }
  if (!created)
    return IsRefusalNotAboutTheFile(startError) ? CaptureResult::startFailed
                                                : CaptureResult::notAProgram;
  OwnedHandle process(started.hProcess);
  OwnedHandle thread(started.hThread);
  writeEnd.Close();
  // The job holds the child and whatever it starts, so that the probe stops them all. Without
  // one (the runner's own job may forbid it) only the child itself is stopped.
  OwnedHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (job.Valid()) {
    // Should the runner itself be ended meanwhile, the probe goes with it.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    if (!::AssignProcessToJobObject(job.Get(), process.Get())) job.Close();
  }
  ::ResumeThread(thread.Get());
  thread.Close();
  // The time a slow start took (a scanner looking at the new file) is not the probe's.
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(limit.count());

  CaptureResult result = CaptureResult::timedOut;
  bool pipeOpen = true;
  DWORD pause = 1;
  for (;;) {
    // Asked before the pipe is read, so that the read after it takes everything it wrote.
    const bool ended = ::WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
    if (pipeOpen) pipeOpen = DrainAvailable(readEnd.Get(), keep, output);
    // An ended child is judged by what it wrote, whatever it left holding the pipe open; more
    // than it keeps is already a wrong answer, whatever else the child would write.
    if (ended || output.size() >= keep) {
      result = CaptureResult::captured;
      break;
    }
    const DWORD left = MillisecondsLeft(deadline);
    if (left == 0) break;
    // Without a pipe only the end of the child is waited for; with one, it is looked at again soon.
    const DWORD wait = pipeOpen ? (pause < left ? pause : left) : left;
    ::WaitForSingleObject(process.Get(), wait);
    if (pause < 20) pause *= 2;
  }
  readEnd.Close();
  if (!job.Valid() || !StopJob(job.Get())) ::TerminateProcess(process.Get(), 1);
  ::WaitForSingleObject(process.Get(), INFINITE);
  return result;
}

// A GUI-subsystem process starts without standard streams, and its writes to them go nowhere.
// DLLs loaded later come from System32 only, never from the runner's folder or the working folder,
// which a user's download may share. Looked up by name: older systems lack the call.
void PrepareProcess() {
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  const auto setDefault =
      kernel == nullptr ? nullptr
                        : reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void*>(
                              ::GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) ::SetDllDirectoryW(L"");
}

}  // namespace runner::os
