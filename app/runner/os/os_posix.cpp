// POSIX side of the OS boundary: XDG data folder, /proc/self/exe, posix_spawn and waitpid.
#include "app/runner/os/os.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace runner::os {
namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  int Get() const { return m_fd; }
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
};

// posix_spawn's file actions, released when done.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
  posix_spawn_file_actions_t* Get() { return &m_actions; }

 private:
  posix_spawn_file_actions_t m_actions;
};

// The signals PrepareProcess set to be ignored (none before it runs); a child gets their
// defaults back.
sigset_t g_ignoredSignals{};

// posix_spawn's attributes: the runner's ignored signals back at their defaults and, for a
// probe, a process group of its own, so that whatever it starts can be stopped with it.
class SpawnAttributes {
 public:
  explicit SpawnAttributes(bool ownGroup) {
    posix_spawnattr_init(&m_attributes);
    short flags = POSIX_SPAWN_SETSIGDEF;
    posix_spawnattr_setsigdefault(&m_attributes, &g_ignoredSignals);
    if (ownGroup) {
      flags |= POSIX_SPAWN_SETPGROUP;
      posix_spawnattr_setpgroup(&m_attributes, 0);
    }
    posix_spawnattr_setflags(&m_attributes, flags);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() { posix_spawnattr_destroy(&m_attributes); }
  posix_spawnattr_t* Get() { return &m_attributes; }

 private:
  posix_spawnattr_t m_attributes;
};

// Keeps the runner's own descriptors (log file, lock file) out of the child.
void CloseInheritedDescriptors(SpawnActions& actions) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);
#else
  (void)actions;
#endif
}

// Starts the child; 0, or the error that kept it from starting.
int Spawn(const std::string& executable, const std::string& switchText, SpawnActions& actions,
          SpawnAttributes& attributes, pid_t& pid) {
  std::vector<char*> argv{const_cast<char*>(executable.c_str()), const_cast<char*>(switchText.c_str()), nullptr};
  return posix_spawn(&pid, executable.c_str(), actions.Get(), attributes.Get(), argv.data(), environ);
}

// A start that failed for want of resources, or on a file being written, says nothing about
// the executable; any other failure means the system cannot run it.
bool IsPassingShortage(int error) {
  return error == EMFILE || error == ENFILE || error == EAGAIN || error == ENOMEM || error == ETXTBSY;
}

void WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// A probe child: killed with its process group and reaped when it is given up on.
class ProbeChild {
 public:
  explicit ProbeChild(pid_t pid) : m_pid(pid) {}
  ProbeChild(const ProbeChild&) = delete;
  ProbeChild& operator=(const ProbeChild&) = delete;
  ~ProbeChild() {
    if (m_reaped) return;
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL);
    WaitForChild(m_pid);
  }

  // True once the child has ended (and is reaped) before `deadline`.
  bool EndsBefore(std::chrono::steady_clock::time_point deadline) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      int status = 0;
      const pid_t found = ::waitpid(m_pid, &status, WNOHANG);
      if (found == m_pid || (found < 0 && errno != EINTR)) {
        m_reaped = true;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }

 private:
  pid_t m_pid;
  bool m_reaped = false;
};

}  // namespace

std::optional<std::string> RoamingFolder() {
  std::string folder;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  // A relative value is not a base directory and is ignored, as the XDG rules say.
  if (dataHome != nullptr && dataHome[0] == '/') {
    folder = dataHome;
  } else if (home != nullptr && home[0] != '\0') {
    folder = std::string(home) + "/.local/share";
  } else {
    return std::nullopt;
  }
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder, error)) return std::nullopt;
  return folder;
}

bool IsNotFoundError(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

std::string PatchEnginePath(const std::string& path) { return path; }

std::string OwnExecutablePath() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

void SetEnvironment(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

struct ChildProcess::Handles {
  pid_t pid = -1;
  bool waited = false;
};

ChildProcess::ChildProcess(std::unique_ptr<Handles> handles) : m_handles(std::move(handles)) {}

ChildProcess::~ChildProcess() = default;

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& executable, const std::string& switchText) {
  SpawnActions actions;
  CloseInheritedDescriptors(actions);
  SpawnAttributes attributes(/*ownGroup=*/false);
  auto handles = std::make_unique<Handles>();
  if (Spawn(executable, switchText, actions, attributes, handles->pid) != 0) return nullptr;
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(handles)));
}

// A POSIX application has no "first idle" the runner could observe.
void ChildProcess::WaitForFirstIdle() {}

void ChildProcess::WaitForExit() {
  if (m_handles->waited) return;
  WaitForChild(m_handles->pid);
  m_handles->waited = true;
}

// No window system is addressed on POSIX.
void FocusWindow(const std::string&) {}

CaptureResult CaptureOutput(const std::string& executable, const std::string& switchText, std::size_t keep,
                            std::chrono::milliseconds limit, std::string& output) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return CaptureResult::pipeFailed;
  FileDescriptor readEnd(ends[0]);
  FileDescriptor writeEnd(ends[1]);
  // Opened here, so that a missing null device is not taken for an executable that cannot run.
  FileDescriptor nullDevice(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (nullDevice.Get() < 0) return CaptureResult::startFailed;

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.Get(), nullDevice.Get(), 0);
  posix_spawn_file_actions_adddup2(actions.Get(), writeEnd.Get(), 1);
  posix_spawn_file_actions_adddup2(actions.Get(), writeEnd.Get(), 2);
  CloseInheritedDescriptors(actions);
  SpawnAttributes attributes(/*ownGroup=*/true);
  pid_t pid = -1;
  if (const int error = Spawn(executable, switchText, actions, attributes, pid); error != 0)
    return IsPassingShortage(error) ? CaptureResult::startFailed : CaptureResult::notAProgram;
  ProbeChild child(pid);
  // Reading ends once every writer, the child and whatever it handed the pipe to, is gone.
  writeEnd.Close();
  nullDevice.Close();

  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return CaptureResult::timedOut;
    pollfd readable{readEnd.Get(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t count = ::read(readEnd.Get(), buffer, sizeof buffer - 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    // Up to the first NUL byte of each read, as the probe reads it.
    const std::size_t piece = ::strnlen(buffer, static_cast<std::size_t>(count));
    if (output.size() < keep) output.append(buffer, std::min(piece, keep - output.size()));
  }
  readEnd.Close();
  return child.EndsBefore(deadline) ? CaptureResult::captured : CaptureResult::timedOut;
}

void PrepareProcess() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is this one, as the lower ones are open by now.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  sigemptyset(&g_ignoredSignals);
  for (const int signal : {SIGPIPE, SIGXFSZ}) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL) continue;
    ::signal(signal, SIG_IGN);
    sigaddset(&g_ignoredSignals, signal);
  }
}

void FlushFileToDisk(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0 || ::fsync(file.Get()) != 0)
    throw std::filesystem::filesystem_error("fsync", path, LastError());
}

void FlushFolder(const std::string& folder) {
  const std::string name = folder.empty() ? std::string(".") : folder;
  FileDescriptor directory(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() < 0 || ::fsync(directory.Get()) != 0)
    throw std::filesystem::filesystem_error("fsync", name, LastError());
}

void ReplaceFileAtomically(const std::string& source, const std::string& target) {
  if (::rename(source.c_str(), target.c_str()) != 0)
    throw std::filesystem::filesystem_error("rename", source, target, LastError());
  // The rename itself must reach the disk before anything that depends on it.
  FlushFolder(std::filesystem::path(target).parent_path().string());
}

void CopyExecutePermission(const std::string& model, const std::string& path) {
  namespace fs = std::filesystem;
  const fs::perms execute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  const fs::perms wanted = fs::status(model).permissions() & execute;
  fs::permissions(path, wanted, fs::perm_options::add);
}

}  // namespace runner::os
