#include "tests/runner/sandbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"

namespace runner_test {
namespace {

void LinkOrCopy(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::create_hard_link(from, to, error);
  if (error) fs::copy_file(from, to);
}

}  // namespace

Sandbox::Sandbox() {
  m_root = m_folder.path();
  m_home = m_root / "home";
  m_roaming = m_root / "roaming";
  m_install = m_root / "install folder";
  m_work = m_root / "work";
  m_journal = m_root / "journal";
  for (const fs::path& folder : {m_home, m_roaming, m_install, m_work})
    fs::create_directories(folder);
  LinkOrCopy(QR_RUNNER_PATH, Runner());
  m_env["PATH"] = "/usr/bin:/bin";
  m_env["HOME"] = m_home.string();
  m_env["XDG_DATA_HOME"] = m_roaming.string();
  m_env["QR_STANDIN_JOURNAL"] = m_journal.string();
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) m_env[name] = value;
}

Sandbox::~Sandbox() {
  if (m_mounted) ::umount2(DataFolder().c_str(), MNT_DETACH);
}

bool Sandbox::LimitDataFolder(uint64_t bytes) {
  fs::create_directories(DataFolder());
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  const unsigned long flags = m_mounted ? MS_REMOUNT : 0;
  if (::mount("tmpfs", DataFolder().c_str(), "tmpfs", flags, options.c_str()) != 0) return false;
  m_mounted = true;
  return true;
}

void Sandbox::InstallApp(const std::string& version) {
  standin::MakeCopyWithVersion(QR_STANDIN_PATH, InstalledExe().string(), version);
}

void Sandbox::StageApp(const std::string& version) {
  fs::create_directories(DataFolder());
  standin::MakeCopyWithVersion(QR_STANDIN_PATH, StagedExe().string(), version);
}

fs::path Sandbox::WriteFile(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  hl_test::write_text(path, content);
  return path;
}

void Sandbox::OnRun(const std::string& version, const std::string& steps) {
  m_env["QR_STANDIN_RUN_" + standin::VersionKey(version)] = steps;
}

void Sandbox::OnProbe(const std::string& version, const std::string& answer) {
  m_env["QR_STANDIN_PROBE_" + standin::VersionKey(version)] = answer;
}

void Sandbox::MarkProbed(int timeouts) {
  const auto identity = [](const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::string("-");
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  };
  WriteFile(DataFolder() / "update.probe", identity(StagedExe()) + "/" + identity(InstalledExe()) +
                                               " " + std::to_string(timeouts) + "\n");
}

void Sandbox::PreloadShim() {
  m_env["LD_PRELOAD"] = QR_CRASH_SHIM_PATH;
  // The sanitizer runtime must otherwise come first of all preloaded libraries.
  if (m_env["ASAN_OPTIONS"].find(":verify_asan_link_order=0") == std::string::npos)
    m_env["ASAN_OPTIONS"] += ":verify_asan_link_order=0";
}

std::vector<std::string> Sandbox::EnvironmentBlock() const {
  std::vector<std::string> block;
  for (const auto& [name, value] : m_env) block.push_back(name + "=" + value);
  return block;
}

Barrier::Barrier(fs::path fifo) : m_fifo(std::move(fifo)) {
  if (::mkfifo(m_fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + m_fifo.string());
  // Held open for both directions, so that neither the waiting readers nor this end block.
  m_fd = ::open(m_fifo.c_str(), O_RDWR | O_CLOEXEC);
  if (m_fd < 0) throw std::runtime_error("open " + m_fifo.string());
}

Barrier::~Barrier() {
  ::close(m_fd);
  std::error_code ignored;
  fs::remove(m_fifo, ignored);
}

void Barrier::Release(int waiting) {
  const std::string lines(static_cast<size_t>(waiting), '\n');
  if (::write(m_fd, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()))
    throw std::runtime_error("barrier write");
}

pid_t Sandbox::Start(const Barrier* barrier) const {
  const int run = m_runs++;
  const std::string out = (m_root / ("run" + std::to_string(run) + ".out")).string();
  const std::string err = (m_root / ("run" + std::to_string(run) + ".err")).string();
  std::vector<std::string> block = EnvironmentBlock();
  std::vector<char*> envp;
  for (std::string& entry : block) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // The command: the runner, behind the barrier's read and setpriv when asked for.
  std::vector<std::string> command;
  if (barrier != nullptr)
    command = {"/bin/sh", "-c", "read -r _ < \"$0\" && exec \"$@\"", barrier->Path().string()};
  if (m_withoutAccessOverride && ::geteuid() == 0)
    for (const char* word : {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search",
                             "--inh-caps=-dac_override,-dac_read_search", "--"})
      command.push_back(word);
  command.push_back(Runner().string());
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int readerGone[2] = {-1, -1};
  switch (m_streams) {
    case Streams::files:
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
      posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
      break;
    case Streams::closed:
      for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addclose(&actions, fd);
      break;
    case Streams::readerGone:
      if (::pipe2(readerGone, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
      ::close(readerGone[0]);
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_adddup2(&actions, readerGone[1], 1);
      posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
      break;
  }
  posix_spawn_file_actions_addchdir_np(&actions, m_work.c_str());
  // Files other test threads are writing must not stay open in the runner ("text file busy").
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // Its own process group, so a runner that hangs can be stopped with all its children.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The child inherits the limit; this process has it only while it starts the child.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  if (m_fileSizeLimit != 0) {
    rlimit capped = saved;
    capped.rlim_cur = m_fileSizeLimit;
    ::setrlimit(RLIMIT_FSIZE, &capped);
  }
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  if (m_fileSizeLimit != 0) ::setrlimit(RLIMIT_FSIZE, &saved);
  if (readerGone[1] >= 0) ::close(readerGone[1]);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start the runner");
  // The run's number travels with the pid, so Finish finds its output files.
  m_started[pid] = run;
  return pid;
}

bool Sandbox::Ended(pid_t pid) const {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

RunResult Sandbox::Finish(pid_t pid) const {
  RunResult result;
  int status = 0;
  rusage usage{};
  const bool ended =
      hl_test::eventually([&] { return ::wait4(pid, &status, WNOHANG, &usage) == pid; });
  if (!ended) {
    ::kill(-pid, SIGKILL);
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    ADD_FAILURE() << "the runner did not end within a minute";
  }
  result.maxResidentKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  const int run = m_started.at(pid);
  m_started.erase(pid);
  result.out = hl_test::read_text_if_present(m_root / ("run" + std::to_string(run) + ".out"));
  result.err = hl_test::read_text_if_present(m_root / ("run" + std::to_string(run) + ".err"));
  return result;
}

RunResult Sandbox::Run() const { return Finish(Start()); }

std::vector<std::string> Sandbox::Journal() const {
  return hl_test::lines_of(hl_test::read_text_if_present(m_journal));
}

std::vector<std::string> Sandbox::Runs() const {
  std::vector<std::string> runs;
  for (const std::string& line : Journal())
    if (line.rfind("run ", 0) == 0) runs.push_back(line.substr(0, line.find(' ', 4)));
  return runs;
}

std::vector<std::string> Sandbox::LogMessages() const {
  return hl_test::log_messages(hl_test::read_text_if_present(LogFile()));
}

WaitingRun::WaitingRun(Sandbox& box, const std::string& version)
    : m_box(box),
      m_version(version),
      m_release(box.Root() / ("release-" + std::to_string(s_count++))) {
  const size_t runsBefore = m_box.Runs().size();
  m_box.OnRun(m_version, "wait|" + m_release.string());
  m_pid = m_box.Start();
  m_started = hl_test::eventually([&] { return m_box.Runs().size() == runsBefore + 1; });
}

WaitingRun::~WaitingRun() {
  if (m_pid > 0) End();
}

RunResult WaitingRun::End() {
  m_box.WriteFile(m_release, "");
  return Finished(m_box.Finish(m_pid));
}

RunResult WaitingRun::Kill() {
  ::kill(m_pid, SIGKILL);
  const RunResult result = m_box.Finish(m_pid);
  m_box.WriteFile(m_release, "");
  return Finished(result);
}

RunResult WaitingRun::Finished(RunResult result) {
  m_pid = -1;
  m_box.OnRun(m_version, "");
  return result;
}

}  // namespace runner_test
