// A throw-away installation for end-to-end runs of the real QuorlinRunner: its own HOME,
// roaming folder, install folder (runner + stand-in "Quorlin.exe") and working directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process_capture.h"
#include "tests/support/temp_dir.h"

namespace runner_test {

namespace fs = std::filesystem;

struct RunResult {
  int exitCode = -1;  // -1: did not exit normally
  int signal = 0;     // the signal that ended it, if any
  std::string out;
  std::string err;
  long maxResidentKiB = 0;  // the runner's peak resident size
};

// Holds runners started behind it until Release lets them all go at the same instant: each
// waits in a read of one FIFO, and one write wakes them all.
class Barrier {
 public:
  explicit Barrier(fs::path fifo);
  Barrier(const Barrier&) = delete;
  Barrier& operator=(const Barrier&) = delete;
  ~Barrier();
  const fs::path& Path() const { return m_fifo; }
  void Release(int waiting);

 private:
  fs::path m_fifo;
  int m_fd = -1;
};

// What the runner's standard streams are: files the tests read, all three closed, or standard
// output a pipe whose reader is gone (as when piped into a program that has ended).
enum class Streams {
  files,
  closed,
  readerGone
};

class Sandbox {
 public:
  Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox();

  const fs::path& Root() const { return m_root; }
  const fs::path& Home() const { return m_home; }
  const fs::path& Roaming() const { return m_roaming; }
  const fs::path& InstallFolder() const { return m_install; }
  const fs::path& WorkFolder() const { return m_work; }
  fs::path DataFolder() const { return m_roaming / "Quorlin"; }
  fs::path InstalledExe() const { return m_install / "Quorlin.exe"; }
  fs::path StagedExe() const { return DataFolder() / "Quorlin.exe"; }
  fs::path LogFile() const { return DataFolder() / "logs.log"; }
  fs::path Runner() const { return m_install / "QuorlinRunner"; }

  // The stand-in application as the installed executable, reporting `version`.
  void InstallApp(const std::string& version);
  // A stand-in copy reporting `version` as the staged executable.
  void StageApp(const std::string& version);
  // Writes `content` to a file (folders created), returning its path.
  fs::path WriteFile(const fs::path& path, const std::string& content);

  // Puts the data folder on a file system of its own with room for `bytes` (a tmpfs, unmounted
  // with the sandbox); resizing it again frees or takes room. False where mounting is not allowed.
  bool LimitDataFolder(uint64_t bytes);

  // Environment of later runs; the base has PATH, HOME, XDG_DATA_HOME and the journal.
  void SetEnv(const std::string& name, const std::string& value) { m_env[name] = value; }
  void UnsetEnv(const std::string& name) { m_env.erase(name); }
  // What the stand-in reporting `version` does when the runner starts it with --runner.
  void OnRun(const std::string& version, const std::string& steps);
  // How the stand-in reporting `version` answers --version.
  void OnProbe(const std::string& version, const std::string& answer);
  // Records the staged and the installed executable as probed before, `timeouts` times in a
  // row without an answer: their probes get the ordinary time limit, not a first start's.
  void MarkProbed(int timeouts = 0);

  // How later runs are started.
  void SetStreams(Streams streams) { m_streams = streams; }
  // Runs with the soft RLIMIT_FSIZE at `bytes` (0: the test's own limit).
  void LimitFileSize(unsigned long bytes) { m_fileSizeLimit = bytes; }
  // Preloads the fault library (crash_shim.c) into later runs; its switches are environment
  // variables set with SetEnv. Once is enough; UnsetEnv("LD_PRELOAD") ends it.
  void PreloadShim();
  // Lets file permissions bind the runner even when the tests run as root.
  void WithoutFileAccessOverride() { m_withoutAccessOverride = true; }

  RunResult Run() const;
  pid_t Start(const Barrier* barrier = nullptr) const;
  RunResult Finish(pid_t pid) const;
  // True once the runner has ended; it is left to Finish.
  bool Ended(pid_t pid) const;

  std::vector<std::string> Journal() const;
  // Lines of the standin journal that report a --runner start, as "run <version>".
  std::vector<std::string> Runs() const;
  // The log's lines with the timestamp cut off; a line without a valid timestamp is kept whole
  // behind "?".
  std::vector<std::string> LogMessages() const;

 private:
  std::vector<std::string> EnvironmentBlock() const;

  hl_test::TempDir m_folder{"sandbox", QR_TEST_SCRATCH};
  fs::path m_root, m_home, m_roaming, m_install, m_work, m_journal;
  std::map<std::string, std::string> m_env;
  Streams m_streams = Streams::files;
  unsigned long m_fileSizeLimit = 0;
  bool m_withoutAccessOverride = false;
  mutable int m_runs = 0;
  mutable std::map<pid_t, int> m_started;
  bool m_mounted = false;
};

// A runner started in the background whose application, the stand-in reporting `version`, waits
// until End releases it: meanwhile the runner holds its single-instance lock.
class WaitingRun {
 public:
  explicit WaitingRun(Sandbox& box, const std::string& version = "1.0.0");
  WaitingRun(const WaitingRun&) = delete;
  WaitingRun& operator=(const WaitingRun&) = delete;
  ~WaitingRun();
  // True once the application has been started.
  bool Started() const { return m_started; }
  // Releases the application and waits for the runner to end; later runs of the version do not
  // wait.
  RunResult End();
  // Kills the runner, then releases its orphaned application.
  RunResult Kill();

 private:
  RunResult Finished(RunResult result);

  static inline int s_count = 0;
  Sandbox& m_box;
  std::string m_version;
  fs::path m_release;
  pid_t m_pid = -1;
  bool m_started = false;
};

}  // namespace runner_test
