// POSIX side of the OS boundary: XDG data folder, /proc/self/exe, posix_spawn and waitpid.
#include "app/runner/os/os.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
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

// Keeps the runner's own descriptors (log file, lock file) out of the child.
void CloseInheritedDescriptors(SpawnActions& actions) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);
#else
  (void)actions;
#endif
}

pid_t Spawn(const std::string& executable, const std::string& switchText, SpawnActions& actions) {
  std::vector<char*> argv{const_cast<char*>(executable.c_str()), const_cast<char*>(switchText.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, executable.c_str(), actions.Get(), nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

void WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::optional<std::string> RoamingFolder() {
  std::string folder;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome != nullptr && dataHome[0] != '\0') {
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
  auto handles = std::make_unique<Handles>();
  handles->pid = Spawn(executable, switchText, actions);
  if (handles->pid < 0) return nullptr;
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

CaptureResult CaptureOutput(const std::string& executable, const std::string& switchText, std::string& output) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return CaptureResult::pipeFailed;
  FileDescriptor readEnd(ends[0]);
  FileDescriptor writeEnd(ends[1]);

  SpawnActions actions;
  posix_spawn_file_actions_addclose(actions.Get(), 0);
  posix_spawn_file_actions_adddup2(actions.Get(), writeEnd.Get(), 1);
  posix_spawn_file_actions_adddup2(actions.Get(), writeEnd.Get(), 2);
  CloseInheritedDescriptors(actions);
  const pid_t pid = Spawn(executable, switchText, actions);
  if (pid < 0) return CaptureResult::startFailed;
  // Reading ends once every writer, the child and whatever it handed the pipe to, is gone.
  writeEnd.Close();

  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(readEnd.Get(), buffer, sizeof buffer - 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    buffer[count] = '\0';
    output.append(buffer);  // up to the first NUL byte, as the probe reads it
  }
  readEnd.Close();
  WaitForChild(pid);
  return CaptureResult::captured;
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
