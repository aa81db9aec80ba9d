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

#include "app/runner/os/descriptor_posix.h"

extern char** environ;

namespace runner::os {
namespace {

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
  std::vector<char*> argv{const_cast<char*>(executable.c_str()),
                          const_cast<char*>(switchText.c_str()), nullptr};
  return posix_spawn(&pid, executable.c_str(), actions.Get(), attributes.Get(), argv.data(),
                     environ);
}

// A start that failed for want of resources, or on a file being written, says nothing about
// the executable; any other failure means the system cannot run it.
bool IsPassingShortage(int error) {
  return error == EMFILE || error == ENFILE || error == EAGAIN || error == ENOMEM ||
         error == ETXTBSY || error == E2BIG;
}

void WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// A probe child: killed with its process group, and reaped, when the probe is done with it.
class ProbeChild {
 public:
  explicit ProbeChild(pid_t pid) : m_pid(pid) {}
  ProbeChild(const ProbeChild&) = delete;
  ProbeChild& operator=(const ProbeChild&) = delete;
  // Whatever the child started in its group and left holding the pipe goes with it.
  ~ProbeChild() {
    ::kill(-m_pid, SIGKILL);
    if (m_reaped) return;
    ::kill(m_pid, SIGKILL);
    WaitForChild(m_pid);
  }

  // True once the child has ended (it is reaped then).
  bool HasEnded() {
    if (m_reaped) return true;
    int status = 0;
    pid_t found;
    do {
      found = ::waitpid(m_pid, &status, WNOHANG);
    } while (found < 0 && errno == EINTR);
    m_reaped = found == m_pid || found < 0;
    return m_reaped;
  }

 private:
  pid_t m_pid;
  bool m_reaped = false;
};

// Appends what one read gave, up to its first NUL byte, as the probe reads it, to the kept bytes.
void Keep(const char* buffer, std::size_t count, std::size_t keep, std::string& output) {
  const std::size_t piece = ::strnlen(buffer, count);
  if (output.size() < keep) output.append(buffer, std::min(piece, keep - output.size()));
}

}  // namespace

std::optional<std::string> RoamingFolder(std::error_code& error) {
  error.clear();
  std::string folder;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  // A relative value is not a base directory and is ignored, as the XDG rules say.
  if (dataHome != nullptr && dataHome[0] == '/') {
    folder = dataHome;
  } else if (home != nullptr && home[0] != '\0') {
    folder = std::string(home) + "/.local/share";
  } else {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
    return std::nullopt;
  }
  std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder, error)) {
    if (!error) error = std::make_error_code(std::errc::not_a_directory);
    return std::nullopt;
  }
  error.clear();
  return folder;
}

bool IsNotFoundError(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

// Nothing on a POSIX file system waits for another process to let go of a file.
bool IsBusyError(const std::error_code& error) {
  return error == std::errc::device_or_resource_busy || error == std::errc::text_file_busy;
}

std::optional<std::string> OwnExecutablePath(std::error_code& error) {
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return self.string();
}

// A set-user-ID runner works on the data folder of the user who started it, with another's rights.
bool IsProcessElevated() { return ::geteuid() != ::getuid(); }

void SetEnvironment(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

struct ChildProcess::Handles {
  pid_t pid = -1;
  bool waited = false;
};

ChildProcess::ChildProcess(std::unique_ptr<Handles> handles) : m_handles(std::move(handles)) {}

ChildProcess::~ChildProcess() = default;

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& executable,
                                                  const std::string& switchText,
                                                  std::error_code& error) {
  error.clear();
  SpawnActions actions;
  CloseInheritedDescriptors(actions);
  SpawnAttributes attributes(/*ownGroup=*/false);
  auto handles = std::make_unique<Handles>();
  if (const int code = Spawn(executable, switchText, actions, attributes, handles->pid);
      code != 0) {
    error = std::error_code(code, std::generic_category());
    return nullptr;
  }
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
void ChildProcess::FocusWindow(const std::string&) {}

CaptureResult CaptureOutput(const std::string& executable, const std::string& switchText,
                            std::size_t keep, std::chrono::milliseconds limit,
                            std::string& output) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return CaptureResult::pipeFailed;
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);
  // Opened here, so that a missing null device is not taken for an executable that cannot run.
  Descriptor nullDevice(::open("/dev/null", O_RDONLY | O_CLOEXEC));
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
  const auto deadline = std::chrono::steady_clock::now() + limit;
  ProbeChild child(pid);
  writeEnd.Close();
  nullDevice.Close();
  // Read without waiting: once the child has ended, what it wrote is all there is, even while a
  // process it started still holds the pipe open.
  ::fcntl(readEnd.Get(), F_SETFL, ::fcntl(readEnd.Get(), F_GETFL) | O_NONBLOCK);

  char buffer[4096];
  auto pause = std::chrono::milliseconds(1);
  bool pipeOpen = true;
  for (;;) {
    // Whether it has ended is asked before the pipe is read, so the read after it takes all it
    // wrote.
    const bool ended = child.HasEnded();
    // A child that writes without pause is read in bounded passes, so the clock is still looked at.
    for (int reads = 0; pipeOpen && reads < 256; ++reads) {
      const ssize_t count = ::read(readEnd.Get(), buffer, sizeof buffer - 1);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        pipeOpen = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        break;
      }
      Keep(buffer, static_cast<std::size_t>(count), keep, output);
    }
    // More than it keeps is already a wrong answer, whatever else the child would write.
    if (ended || output.size() >= keep) return CaptureResult::captured;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return CaptureResult::timedOut;
    const auto wait = std::min(pause, left);
    if (pipeOpen) {
      pollfd readable{readEnd.Get(), POLLIN, 0};
      ::poll(&readable, 1, static_cast<int>(wait.count()));
    } else {
      std::this_thread::sleep_for(wait);
    }
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
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

}  // namespace runner::os
