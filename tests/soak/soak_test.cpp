// Soak: a long chain of forced updates of the stand-in application through the real
// QuorlinRunner, each patch made by the creator from the executable that a fresh runner starts,
// with faults mixed in at random: a corrupt or truncated patch, a malformed manifest, a killed
// runner, a full disk (RLIMIT_FSIZE), an unreadable or read-only data folder, a stale lock file
// or a foreign object at the lock path, two runners started at the same instant, with or
// without the single-instance lock; executables probed before whose --version never ends or
// answers too late, and probes that leave a child holding their output; manifests that name the
// base and the result by SHA-256, rightly or wrongly; links and FIFOs at the names the runner
// reads and writes; oversized manifests and dictionaries; a data-folder disk (a tmpfs) that is
// full for one run and then frees up; an application that stages a failing forced update at
// every run, or a forced update whose result answers an older version; and another process's
// file renamed over the result while it is installed.
//
// After every cycle a fresh runner must start a complete executable (one whose bytes are exactly
// a version this chain made), the data folder must hold only the runner's own files, and every
// log line must be one the runner defines.
//
// QR_SOAK_CYCLES sets the number of cycles (default twice the fault kinds, the CI variant: each
// fault once); QR_SOAK_SEED the seed;
// QR_SOAK_VERBOSE=1 prints what every cycle's runs started and logged.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/runner/lock_name.h"
#include "diff/patch_maker.h"
#include "tests/runner/sandbox.h"
#include "tests/runner/update_files.h"
#include "tests/soak/soak_faults.h"
#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/process_capture.h"
#include "tests/support/text_pattern.h"

namespace {

namespace fs = std::filesystem;
using runner_test::RunResult;
using runner_test::Sandbox;
using soak::Fault;

constexpr auto kRunTimeLimit = std::chrono::seconds(120);
const char kLockName[] = QR_RUNNER_LOCK_NAME;

int EnvNumber(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// Every line the runner writes to its log, in the logging library's default format.
bool IsRunnerLogLine(const std::string& line) {
  // Why an update is dropped or kept for a later run.
  static const char* const reasons[] = {
      R"(update\.json is larger than 1 MiB)",
      R"(update\.json is not valid JSON)",
      R"(update\.json is nested too deeply)",
      R"(update\.json has a malformed (base_)?sha256)",
      R"(update\.json cannot be read: .+)",
      R"(Patch cannot be read(: .+| \(.+\)))",
      R"(Patch ended before its body did \(result \d+\))",
      R"(patch failed with result \d+( \(.+\))?)",
      R"(patch needs \d+ bytes of memory, more than the 256 MiB allowed)",
      R"(the update does not fit the executable that ran)",
      R"(the patched executable does not match sha256)",
      R"(not enough disk space for the update: \d+ bytes needed, \d+ free)",
      R"(backup copy failed: .+)",
      R"(the executable that ran cannot be read: .+)",
      R"(Quorlin_new\.exe cannot be (created|opened|written|read): .+)",
      R"(the update failed before)"};
  // Why the staged executable fails its version check, or gets no verdict.
  static const char* const probeReasons[] = {
      R"(no pipe for its version probe)",
      R"(its version probe could not be started this time)",
      R"(its version probe timed out( at \d+ starts in a row)?)",
      R"(it is not a program)",
      R"(it gave no version)",
      R"(its version ".*" is no version)",
      R"(the installed version [\d.]+ is newer than [\d.]+)"};
  static const char* const messages[] = {
      R"(exe path: .+)",
      R"(exe not exist )",
      R"(Create Process .+ --runner error)",
      R"(error: .+)",
      R"(unknown error)",
      R"(.+ is not a regular file(: set aside as .+| and cannot be set aside: .+))",
      R"(.+ cannot be examined \(.+\)(: set aside as .+| and cannot be set aside: .+))",
      R"(.+ cannot be removed: set aside as .+)",
      R"(force not honoured: the update was not installed)",
      R"(interrupted installation completed)",
      R"(interrupted installation cannot be completed: .+)",
      R"(crash handler copy failed: .+)",
      R"(single-instance lock not taken: .+)",
      R"(the installation cannot start \(.+\): update kept for a later run)",
      R"(Quorlin\.exe cannot be replaced \(.+\): installed at the next start)",
      R"(Quorlin\.exe was replaced by another process while it was installed: set aside as .+)",
      R"(the update just installed (failed its version check|got no verdict from its version check): not installed again)",
      R"(logs\.log is over 4 MiB and cannot be moved to logs\.log\.1: .+)",
      R"(elevated run: only the installed Quorlin\.exe is started and nothing is installed)",
      R"(logs\.log was over 4 MiB: moved to logs\.log\.1)"};
  static const hl_test::TextPattern defined([] {
    const auto anyOf = [](const auto& list) {
      std::string any;
      for (const char* item : list) any += (any.empty() ? "(" : "|") + std::string(item);
      return any + ")";
    };
    const std::string probe = anyOf(probeReasons);
    std::string any =
        anyOf(reasons) +
        R"(( \(attempt \d\))?: (update dropped|update kept for a later run \(attempt \d of 3\)))";
    any +=
        R"(|staged Quorlin\.exe (removed: )" + probe +
        R"(|kept for a later start: (the installed Quorlin\.exe: )?)" + probe +
        R"(( \(\d of 3\))?|started: the installed Quorlin\.exe: )" + probe +
        R"(|fails the version check \()" + probe +
        R"(\)(, left for a later start: .+|, but was replaced meanwhile| and cannot be removed: .+: tried again at the next start)))";
    for (const char* message : messages) any += "|" + std::string(message);
    return R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO \[default\] ()" + any + ")$";
  }());
  return defined.matches(line);
}

// What one runner run left: its exit, the versions the stand-in reports it was started as, and
// the messages of its log lines.
struct RunRecord {
  RunResult result;
  bool timedOut = false;
  std::vector<std::string> runs;      // versions started with --runner, in order
  std::vector<std::string> messages;  // log messages, timestamp and prefix cut off
  std::vector<int> handoffs;          // pids of the children that held a probe's output
};

class SoakChain {
 public:
  SoakChain(uint32_t seed, bool canLockOut) : m_rng(seed), m_canLockOut(canLockOut) {
    // The data folder on a disk of its own, which a cycle can fill; without one those cycles run
    // clean.
    m_canFillDisk = m_box.LimitDataFolder(kDataDiskSize);
    m_box.InstallApp("1.0.0");
    m_known["1.0.0"] = Hash(m_box.InstalledExe());
    m_installedHash = m_known["1.0.0"];
    // A crash handler in the working directory, so installations also place its copy.
    m_box.WriteFile(m_box.WorkFolder() / "crashpad_handler.exe", "crash handler stand-in\n");
    m_next = m_box.Root() / "next.exe";
  }

  soak::Counts& Counts() { return m_counts; }

  // One cycle: make and stage the next update, run the runner under the cycle's fault, then check
  // with a fresh runner what it left behind.
  void Cycle(int index, Fault fault) {
    if (fault == Fault::unreadableFolder && !m_canLockOut) fault = Fault::none;
    if (fault == Fault::diskFillsUp && !m_canFillDisk) fault = Fault::none;
    // A probe too slow for an executable probed before needs a staged executable.
    const bool staged = fs::exists(m_box.StagedExe());
    if (SlowsTheProbe(fault) && !staged) fault = Fault::none;
    ++m_counts.cycles;
    ++m_counts.faults[fault];

    // Where the probe gives no verdict in time the installed executable runs, and is updated.
    const fs::path base =
        staged && !SlowsTheProbe(fault) ? m_box.StagedExe() : m_box.InstalledExe();
    const std::string baseVersion = standin::VersionOf(base.string());
    const std::string newVersion =
        "1." + std::to_string(index / 1000) + "." + std::to_string(index % 1000 + 1);
    m_newVersion = newVersion;
    standin::MakeCopyWithVersion(QR_STANDIN_PATH, m_next.string(), newVersion);
    m_known[newVersion] = Hash(m_next);

    std::vector<uint8_t> patch = MakePatch(base, m_next, fault == Fault::bigDictionary);
    std::string manifest = R"({"force": true})";
    const std::vector<uint8_t> nextBytes = hl_test::read_file(m_next);
    const std::string baseHash = runner_test::Sha256Hex(hl_test::read_file(base));
    const std::string nextHash = runner_test::Sha256Hex(nextBytes);
    const auto hashed = [](const std::string& baseSha, const std::string& sha) {
      return R"({"force": true, "base_sha256": ")" + baseSha + R"(", "sha256": ")" + sha + R"("})";
    };
    switch (fault) {
      case Fault::corruptPatch:
        soak::CorruptPatch(patch, m_rng);
        break;
      case Fault::truncatedPatch:
        soak::TruncatePatch(patch, m_rng);
        break;
      case Fault::malformedManifest:
        manifest = soak::MalformedManifest(m_rng);
        break;
      case Fault::hashedUpdate:
        manifest = hashed(baseHash, nextHash);
        break;
      case Fault::wrongBase:
        manifest = hashed(nextHash, nextHash);
        break;
      case Fault::wrongResult: {
        std::vector<uint8_t> almost = nextBytes;
        almost[m_rng() % almost.size()] ^= static_cast<uint8_t>(1 + m_rng() % 255);
        manifest = hashed(baseHash, runner_test::Sha256Hex(almost));
        break;
      }
      case Fault::oversizedManifest:
        manifest = std::string((1 << 20) + m_rng() % 4096, ' ') + manifest;
        break;
      case Fault::bigDictionary:
        soak::DeclareHugeDictionary(patch);
        break;
      default:
        break;
    }
    fs::create_directories(m_box.DataFolder());
    m_box.WriteFile(m_box.DataFolder() / "Patch", std::string(patch.begin(), patch.end()));
    m_box.WriteFile(m_box.DataFolder() / "update.json", manifest);
    const fs::path victim = m_box.WriteFile(m_box.Root() / "victim", "a file of the user's\n");
    std::string foreignName;  // the name of what the fault puts there, set aside by the runner
    switch (fault) {
      case Fault::fifoStagingFile:
        foreignName = m_rng() % 2 ? "Patch" : "update.json";
        fs::remove(m_box.DataFolder() / foreignName);
        EXPECT_EQ(::mkfifo((m_box.DataFolder() / foreignName).c_str(), 0600), 0);
        break;
      case Fault::linkAtOwnFile: {
        static const char* const names[] = {"Quorlin_old.exe", "Quorlin_new.exe",
                                            "update.attempts"};
        foreignName = names[m_rng() % 3];
        fs::remove(m_box.DataFolder() / foreignName);  // a record or a killed runner's leftover
        fs::create_symlink(victim, m_box.DataFolder() / foreignName);
        break;
      }
      case Fault::diskFillsUp: {
        // Less room than the margin the runner keeps beyond the two executables.
        const uintmax_t free = fs::space(m_box.DataFolder()).available;
        const uintmax_t keep = 1 + m_rng() % (8 << 20);
        std::ofstream(m_box.DataFolder() / "filler", std::ios::binary)
            << std::string(free > keep ? free - keep : 0, 'f');
        break;
      }
      case Fault::forceLoop: {
        const fs::path bad = m_box.WriteFile(m_box.Root() / "looping patch", "not a patch");
        const fs::path forced =
            m_box.WriteFile(m_box.Root() / "looping manifest", R"({"force": true})");
        m_box.OnRun(baseVersion, "stage|" + bad.string() + "|" + forced.string());
        break;
      }
      case Fault::forcedOlder: {
        // The installed executable, which runs when the result fails, stages the same update again.
        const fs::path again =
            m_box.WriteFile(m_box.Root() / "older patch", std::string(patch.begin(), patch.end()));
        const fs::path forced = m_box.WriteFile(m_box.Root() / "older manifest", manifest);
        m_box.OnProbe(newVersion, "raw:Quorlin ver 0.0.1\n");
        m_box.OnRun("1.0.0", "stage|" + again.string() + "|" + forced.string());
        break;
      }
      case Fault::nameSwap:
        // Another executable, beside the result: a rename cannot cross disks.
        foreignName = "Quorlin.exe";
        standin::MakeCopyWithVersion(QR_STANDIN_PATH, (m_box.DataFolder() / "swapped in").string(),
                                     "9.9.9");
        break;
      default:
        break;
    }

    const RunRecord faulted = RunUnder(fault);
    ASSERT_FALSE(faulted.timedOut)
        << "cycle " << index << ": the runner hung under " << soak::FaultName(fault);
    if (fault != Fault::killedRunner) ExpectOrderlyEnd(faulted, index);
    ExpectOutcome(faulted, fault, baseVersion, newVersion, index);
    // Nothing that held a probe's output is left running.
    for (const int pid : faulted.handoffs)
      if (!hl_test::eventually([pid] { return !hl_test::process_running(pid); })) {
        ADD_FAILURE() << "cycle " << index << ": the probe's helper " << pid << " still runs";
        ::kill(pid, SIGKILL);
      }
    for (const std::string& message : faulted.messages)
      if (message.find("update dropped") != std::string::npos ||
          message.find("kept for a later run") != std::string::npos ||
          message.find("set aside") != std::string::npos)
        ++m_counts.refused;

    // What the fault put in the data folder that is not the runner's to clear goes again.
    EXPECT_EQ(hl_test::read_text(victim), "a file of the user's\n")
        << "cycle " << index << ": written through a link";
    std::error_code ignored;
    if (!foreignName.empty()) {
      const fs::path aside = m_box.DataFolder() / (foreignName + ".aside-1");
      EXPECT_TRUE(fs::exists(fs::symlink_status(aside)))
          << "cycle " << index << ": " << foreignName << " not set aside";
      if (fault == Fault::nameSwap && fs::exists(aside)) {
        EXPECT_EQ(standin::VersionOf(aside.string()), "9.9.9")
            << "cycle " << index << ": not the swapped-in file";
      }
      fs::remove(aside, ignored);
    }
    switch (fault) {
      case Fault::fifoStagingFile:
        fs::remove(m_box.DataFolder() / "Patch",
                   ignored);  // alone now, it would wait for a manifest
        break;
      case Fault::diskFillsUp:
        fs::remove(m_box.DataFolder() / "filler");
        break;
      case Fault::forceLoop:
        m_box.OnRun(baseVersion, "");
        break;
      case Fault::forcedOlder:
        m_box.OnProbe(newVersion, "");
        m_box.OnRun("1.0.0", "");
        break;
      default:
        break;
    }

    // A fresh runner, with no fault: it must start a complete executable.
    const RunRecord check = Run();
    if (m_verbose) Describe(index, fault, faulted, check);
    ASSERT_FALSE(check.timedOut) << "cycle " << index << ": the check run hung";
    ExpectOrderlyEnd(check, index);
    ASSERT_FALSE(check.runs.empty())
        << "cycle " << index << ": no executable started after " << soak::FaultName(fault);
    for (const std::vector<std::string>* runs : {&faulted.runs, &check.runs})
      for (const std::string& version : *runs)
        EXPECT_TRUE(m_known.count(version))
            << "cycle " << index << ": unknown version " << version << " ran";
    ExpectCompleteExecutables(index);
    const bool installedNow = fs::exists(m_box.StagedExe()) &&
                              standin::VersionOf(m_box.StagedExe().string()) == newVersion;
    ExpectNoStrayFile(fault, installedNow, index);
    if (fault == Fault::racingRunners || fault == Fault::locklessRace || fault == Fault::nameSwap) {
      EXPECT_TRUE(installedNow) << "cycle " << index << ": the update was lost";
    }
    if (fault != Fault::none) ++m_counts.recoveries;
    if (installedNow)
      ++m_counts.installed;
    else
      ++m_counts.notInstalled;
  }

 private:
  static std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : " | ") + item;
    return text;
  }

  void Describe(int index, Fault fault, const RunRecord& faulted, const RunRecord& check) const {
    std::cout << "cycle " << index << " [" << soak::FaultName(fault) << "] exit "
              << faulted.result.exitCode << " signal " << faulted.result.signal
              << "; ran: " << Joined(faulted.runs) << "; log: " << Joined(faulted.messages)
              << "\n  check ran: " << Joined(check.runs) << "; log: " << Joined(check.messages)
              << "\n";
  }

  static bool SlowsTheProbe(Fault fault) {
    return fault == Fault::endlessProbe || fault == Fault::slowProbe;
  }

  static size_t Hash(const fs::path& path) {
    return std::hash<std::string>()(hl_test::read_text(path));
  }

  // A patch of a random compression; with `dictionaryPrefix` one that starts with a dictionary
  // size (tuz) or property (LZMA2).
  std::vector<uint8_t> MakePatch(const fs::path& from, const fs::path& to,
                                 bool dictionaryPrefix = false) {
    static constexpr hldiff::Compression kinds[] = {
        hldiff::Compression::None, hldiff::Compression::Tuz,     hldiff::Compression::Zlib,
        hldiff::Compression::Gzip, hldiff::Compression::Deflate, hldiff::Compression::Lzma,
        hldiff::Compression::Lzma2};
    const std::vector<uint8_t> oldBytes = hl_test::read_file(from);
    const std::vector<uint8_t> newBytes = hl_test::read_file(to);
    hldiff::MakeOptions options;
    options.encode.compression = kinds[m_rng() % 7];
    if (dictionaryPrefix)
      options.encode.compression =
          m_rng() % 2 ? hldiff::Compression::Tuz : hldiff::Compression::Lzma2;
    options.encode.level = static_cast<int>(m_rng() % 10);
    return hldiff::make_patch(oldBytes.data(), oldBytes.size(), newBytes.data(), newBytes.size(),
                              options);
  }

  RunRecord RunUnder(Fault fault) {
    switch (fault) {
      case Fault::killedRunner: {
        // Somewhere inside a typical run: before, during or after the patch.
        const auto delay = std::chrono::microseconds(m_rng() % (m_typicalRun.count() + 1));
        return Run([delay](pid_t pid) {
          std::this_thread::sleep_for(delay);
          ::kill(pid, SIGKILL);
        });
      }
      case Fault::fullDisk: {
        // Room for the log lines, not for a whole executable.
        const uintmax_t exeSize = fs::file_size(m_box.InstalledExe());
        const rlim_t limit = 4096 + m_rng() % (exeSize > 4096 ? exeSize - 4096 : 1);
        soak::FileSizeLimit capped(limit);
        return Run();
      }
      case Fault::unreadableFolder: {
        static constexpr fs::perms modes[] = {fs::perms::none,
                                              fs::perms::owner_read | fs::perms::owner_exec,
                                              fs::perms::owner_write | fs::perms::owner_exec};
        soak::FolderMode locked(m_box.DataFolder(), modes[m_rng() % 3]);
        return Run();
      }
      case Fault::staleLockFile: {
        // What an ended runner, or an older build of it, may have left: a pid that now names a
        // live process, nothing at all, or text, with one of the modes such files had.
        static const char* const contents[] = {"pid", "", "not a pid\n"};
        static constexpr fs::perms modes[] = {fs::perms::owner_read | fs::perms::owner_write,
                                              fs::perms::owner_read | fs::perms::owner_write |
                                                  fs::perms::group_read | fs::perms::others_read,
                                              fs::perms::owner_read};
        std::string content = contents[m_rng() % 3];
        if (content == "pid") content = std::to_string(::getpid()) + '\0';
        const fs::path lock = m_box.Home() / kLockName;
        fs::remove(lock);
        m_box.WriteFile(lock, content);
        fs::permissions(lock, modes[m_rng() % 3], fs::perm_options::replace);
        return Run();
      }
      case Fault::foreignLockPath: {
        const fs::path lock = m_box.Home() / kLockName;
        fs::remove(lock);
        switch (m_rng() % 3) {
          case 0:
            fs::create_directories(lock / "inside");
            break;
          case 1:
            fs::create_symlink(m_box.Root() / "nowhere", lock);
            break;
          default:
            ::mkfifo(lock.c_str(), 0600);
            break;
        }
        RunRecord record = Run();
        fs::remove_all(lock);
        return record;
      }
      case Fault::racingRunners:
        return RunRacing();
      case Fault::endlessProbe: {
        // The staged executable, probed before, answers and never ends.
        m_box.MarkProbed();
        return RunWithProbe(standin::VersionOf(m_box.StagedExe().string()), "hang");
      }
      case Fault::slowProbe: {
        // The staged or the installed executable, both probed before, answers after 6 s.
        m_box.MarkProbed();
        const bool staged = m_rng() % 2 == 0;
        return RunWithProbe(staged ? standin::VersionOf(m_box.StagedExe().string()) : "1.0.0",
                            "late:6000");
      }
      case Fault::probeHandoff: {
        // The staged, the installed or the new executable.
        const std::string versions[] = {fs::exists(m_box.StagedExe())
                                            ? standin::VersionOf(m_box.StagedExe().string())
                                            : "1.0.0",
                                        "1.0.0", m_newVersion};
        return RunWithProbe(versions[m_rng() % 3], "handoff");
      }
      case Fault::locklessRace: {
        const fs::path lock = m_box.Home() / kLockName;
        fs::remove(lock);
        fs::create_directories(lock);
        RunRecord record = RunRacing();
        fs::remove_all(lock);
        return record;
      }
      case Fault::nameSwap: {
        // Over the result just before it takes the staged executable's name, or over that
        // name just after.
        m_box.PreloadShim();
        m_box.SetEnv("QR_SWAP_FILE", (m_box.DataFolder() / "swapped in").string());
        m_box.SetEnv("QR_SWAP_AT", m_rng() % 2 ? "before" : "after");
        RunRecord record = Run();
        for (const char* name : {"LD_PRELOAD", "QR_SWAP_FILE", "QR_SWAP_AT"}) m_box.UnsetEnv(name);
        return record;
      }
      default: {
        const auto started = std::chrono::steady_clock::now();
        RunRecord record = Run();
        if (fault == Fault::none)
          m_typicalRun = std::chrono::duration_cast<std::chrono::microseconds>(
              std::chrono::steady_clock::now() - started);
        return record;
      }
    }
  }

  // Runs the runner once while the stand-in reporting `version` answers --version with `answer`.
  RunRecord RunWithProbe(const std::string& version, const std::string& answer) {
    m_box.OnProbe(version, answer);
    RunRecord record = Run();
    m_box.OnProbe(version, "");
    return record;
  }

  // A journal of its own for the stand-in's next runs.
  fs::path StartJournal() {
    const fs::path journal = m_box.Root() / ("journal-" + std::to_string(m_runCount++));
    m_box.SetEnv("QR_STANDIN_JOURNAL", journal.string());
    return journal;
  }

  // The versions the journal says were run, and the log's messages; both are taken away.
  void TakeRuns(const fs::path& journal, RunRecord& record) {
    for (const std::string& line : hl_test::lines_of(hl_test::read_text_if_present(journal)))
      if (line.rfind("run ", 0) == 0)
        record.runs.push_back(line.substr(4, line.find(' ', 4) - 4));
      else if (line.rfind("handoff ", 0) == 0)
        record.handoffs.push_back(std::stoi(line.substr(8)));
    std::error_code ignored;
    fs::remove(journal, ignored);
    record.messages = TakeLog();
  }

  // Two runners released behind one barrier; their records joined, as if one had run.
  RunRecord RunRacing() {
    RunRecord record;
    const fs::path journal = StartJournal();
    runner_test::Barrier barrier(m_box.Root() / "barrier");
    const pid_t first = m_box.Start(&barrier);
    const pid_t second = m_box.Start(&barrier);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    barrier.Release(2);
    record.timedOut =
        !soak::WaitForExit(first, kRunTimeLimit) || !soak::WaitForExit(second, kRunTimeLimit);
    if (record.timedOut) {
      ::kill(first, SIGKILL);
      ::kill(second, SIGKILL);
    }
    const RunResult a = m_box.Finish(first);
    const RunResult b = m_box.Finish(second);
    record.result = a.exitCode != 0 ? a : b;
    TakeRuns(journal, record);
    return record;
  }

  // The messages of the log's lines, each checked to be one the runner defines; the log is
  // taken away, so a full-disk run starts with an empty one.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> messages;
    for (const std::string& line :
         hl_test::lines_of(hl_test::read_text_if_present(m_box.LogFile()))) {
      EXPECT_TRUE(IsRunnerLogLine(line)) << "undefined log line: " << line;
      const std::string::size_type prefix = line.find("[default] ");
      if (prefix != std::string::npos) messages.push_back(line.substr(prefix + 10));
    }
    std::error_code ignored;
    fs::remove(m_box.LogFile(), ignored);
    return messages;
  }

  // Runs the runner once; `whileRunning` gets the pid right after the start.
  RunRecord Run(const std::function<void(pid_t)>& whileRunning = nullptr) {
    RunRecord record;
    const fs::path journal = StartJournal();
    const pid_t pid = m_box.Start();
    if (whileRunning) whileRunning(pid);
    record.timedOut = !soak::WaitForExit(pid, kRunTimeLimit);
    if (record.timedOut) ::kill(pid, SIGKILL);
    record.result = m_box.Finish(pid);
    // The stand-in may outlive a killed runner for a moment; its journal line is written by then.
    TakeRuns(journal, record);
    return record;
  }

  void ExpectOrderlyEnd(const RunRecord& run, int index) {
    EXPECT_EQ(run.result.exitCode, 0)
        << "cycle " << index << ": signal " << run.result.signal << "\n"
        << run.result.err;
  }

  // The line that says why the fault's update is refused while the base version runs on; null for
  // the faults that do not refuse it that way.
  static const char* RefusalLine(Fault fault) {
    switch (fault) {
      case Fault::malformedManifest:
        return "update.json is not valid JSON: update dropped";
      case Fault::wrongBase:
        return "the update does not fit the executable that ran: update dropped";
      case Fault::wrongResult:
        return "the patched executable does not match sha256: update dropped";
      case Fault::oversizedManifest:
        return "update.json is larger than 1 MiB: update dropped";
      case Fault::bigDictionary:
        return "more than the 256 MiB allowed: update dropped";
      case Fault::fifoStagingFile:
        return "is not a regular file: set aside as";
      case Fault::diskFillsUp:
        return "not enough disk space for the update";
      default:
        return nullptr;
    }
  }

  // What the faulted run itself must have done.
  void ExpectOutcome(const RunRecord& run, Fault fault, const std::string& baseVersion,
                     const std::string& newVersion, int index) {
    const auto errors = [&run] {
      int n = 0;
      for (const std::string& m : run.messages)
        n += m.rfind("error: ", 0) == 0 || m == "unknown error";
      return n;
    }();
    const auto logged = [&run](const std::string& part) {
      for (const std::string& m : run.messages)
        if (m.find(part) != std::string::npos) return true;
      return false;
    };
    const std::vector<std::string> onlyBase{baseVersion};
    switch (fault) {
      case Fault::none:
      case Fault::staleLockFile:
      case Fault::racingRunners:
      case Fault::probeHandoff:
        // Exactly one runner ran: one update, one restart.
        EXPECT_EQ(run.runs, (std::vector<std::string>{baseVersion, newVersion}))
            << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        EXPECT_EQ(run.messages.size(), 2u) << "cycle " << index;
        break;
      case Fault::hashedUpdate:
      case Fault::linkAtOwnFile:
        EXPECT_EQ(run.runs, (std::vector<std::string>{baseVersion, newVersion}))
            << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        break;
      case Fault::foreignLockPath:
        // Without exclusion, and saying so first, but the update as usual.
        EXPECT_EQ(run.runs, (std::vector<std::string>{baseVersion, newVersion}))
            << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        ASSERT_FALSE(run.messages.empty()) << "cycle " << index;
        EXPECT_EQ(run.messages[0].rfind("single-instance lock not taken: ", 0), 0u)
            << "cycle " << index;
        break;
      case Fault::locklessRace:
        // Both run the application, one installs the update and starts it.
        EXPECT_EQ(run.runs.size(), 3u) << "cycle " << index;
        EXPECT_NE(std::find(run.runs.begin(), run.runs.end(), newVersion), run.runs.end())
            << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        break;
      case Fault::nameSwap:
        // The other file is set aside and the verified result written again.
        EXPECT_EQ(run.runs, (std::vector<std::string>{baseVersion, newVersion}))
            << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        EXPECT_TRUE(logged(
            "replaced by another process while it was installed: set aside as Quorlin.exe.aside-1"))
            << "cycle " << index;
        break;
      case Fault::forcedOlder:
        // One restart, into the result, which fails its check; the update staged again is refused.
        EXPECT_EQ(run.runs, (std::vector<std::string>{baseVersion, "1.0.0"})) << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        EXPECT_TRUE(logged("failed its version check: not installed again")) << "cycle " << index;
        EXPECT_TRUE(logged("the update failed before: update dropped")) << "cycle " << index;
        EXPECT_FALSE(fs::exists(m_box.StagedExe())) << "cycle " << index;
        break;
      case Fault::slowProbe:
      case Fault::endlessProbe:
        // No verdict in time: the staged executable is kept, not removed; the installed one runs
        // and is updated, and the update starts.
        EXPECT_EQ(run.runs, (std::vector<std::string>{baseVersion, newVersion}))
            << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        EXPECT_TRUE(logged("staged Quorlin.exe kept for a later start: ")) << "cycle " << index;
        EXPECT_FALSE(logged("staged Quorlin.exe removed")) << "cycle " << index;
        break;
      case Fault::corruptPatch:
      case Fault::forceLoop:
        // The patch fails, one line says so, and "force" is not honoured: no restart. Random
        // body bytes may also declare a dictionary too large to allow.
        EXPECT_EQ(run.runs, onlyBase) << "cycle " << index;
        EXPECT_EQ(errors, 0) << "cycle " << index;
        EXPECT_TRUE(logged("patch failed with result") || logged("more than the 256 MiB allowed"))
            << "cycle " << index;
        EXPECT_TRUE(logged("force not honoured")) << "cycle " << index;
        break;
      case Fault::truncatedPatch:
        // A cut that only takes bytes the patch never needs still installs the update; any other
        // is a patch still being written, kept for a later start.
        ASSERT_FALSE(run.runs.empty()) << "cycle " << index;
        EXPECT_EQ(run.runs[0], baseVersion) << "cycle " << index;
        EXPECT_TRUE(run.runs == onlyBase ||
                    run.runs == (std::vector<std::string>{baseVersion, newVersion}))
            << "cycle " << index;
        if (run.runs == onlyBase) {
          EXPECT_TRUE(logged("Patch ended before its body did") ||
                      logged("patch failed with result"))
              << "cycle " << index;
        }
        break;
      case Fault::diskFillsUp:
        EXPECT_TRUE(fs::exists(m_box.DataFolder() / "Patch"))
            << "cycle " << index << ": the update must wait";
        break;
      default:
        break;  // refused (below), killed, full disk, locked folder: only the check run's
                // invariants bind
    }
    if (const char* refusal = RefusalLine(fault)) {
      EXPECT_EQ(run.runs, onlyBase) << "cycle " << index;
      EXPECT_TRUE(logged(refusal)) << "cycle " << index;
    }
    // A refused update leaves the staged executable as it was.
    if (run.runs == onlyBase && fault != Fault::none && fault != Fault::killedRunner &&
        fs::exists(m_box.StagedExe())) {
      EXPECT_NE(standin::VersionOf(m_box.StagedExe().string()), newVersion) << "cycle " << index;
    }
  }

  // The staged executable, when there, is exactly a version of the chain; the installed one is
  // untouched.
  void ExpectCompleteExecutables(int index) {
    EXPECT_EQ(Hash(m_box.InstalledExe()), m_installedHash)
        << "cycle " << index << ": installed executable changed";
    if (!fs::exists(m_box.StagedExe())) return;
    std::string version;
    try {
      version = standin::VersionOf(m_box.StagedExe().string());
    } catch (const std::exception& e) {
      ADD_FAILURE() << "cycle " << index << ": staged executable without a version: " << e.what();
      return;
    }
    ASSERT_TRUE(m_known.count(version)) << "cycle " << index << ": staged " << version;
    EXPECT_EQ(Hash(m_box.StagedExe()), m_known[version])
        << "cycle " << index << ": staged " << version << " is not complete";
  }

  void ExpectNoStrayFile(Fault fault, bool installedNow, int index) {
    // The runner's own files, which stay: the probe's record and the installation lock among them.
    static const std::set<std::string> kOwnFiles = {"Quorlin.exe", "crashpad_handler.exe",
                                                    "logs.log", "update.probe", "update.lock"};
    // A killed runner cannot clean up; its transient files may wait for the next installation.
    static const std::set<std::string> transient = {"Quorlin_old.exe", "Quorlin_new.exe",
                                                    "crashpad_handler_new.exe", "update.attempts"};
    if (fault == Fault::killedRunner) m_killLeftoversAllowed = true;
    // The record that refuses a failed forced update, should it be staged again, stays until
    // another update is installed.
    if (fault == Fault::forcedOlder) m_refusalKept = true;
    const bool patchLeft = fs::exists(m_box.DataFolder() / "Patch");
    // A cut patch waits, with its manifest and attempt count, until the next update replaces it.
    if (fault == Fault::truncatedPatch && patchLeft) m_cutPatchKept = true;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_box.DataFolder())) {
      const std::string name = entry.path().filename().string();
      if (kOwnFiles.count(name)) continue;
      // A manifest whose read failed stays, alone, until the next update replaces it.
      if (name == "update.json" && !patchLeft) continue;
      if (name == "update.attempts" && m_refusalKept) continue;
      if (m_cutPatchKept && (name == "Patch" || name == "update.json" || name == "update.attempts"))
        continue;
      if (m_killLeftoversAllowed && transient.count(name)) {
        ++m_counts.leftoversAfterKill;
        continue;
      }
      ADD_FAILURE() << "cycle " << index << " (" << soak::FaultName(fault) << "): stray file "
                    << name;
    }
    if (installedNow && fault != Fault::killedRunner)
      m_killLeftoversAllowed = m_refusalKept = m_cutPatchKept = false;
  }

  static constexpr uint64_t kDataDiskSize = uint64_t(48) << 20;

  Sandbox m_box;
  std::mt19937 m_rng;
  bool m_canLockOut;
  bool m_canFillDisk = false;
  std::map<std::string, size_t> m_known;  // version -> hash of the exact bytes made for it
  size_t m_installedHash = 0;
  fs::path m_next;
  soak::Counts m_counts;
  int m_runCount = 0;
  std::chrono::microseconds m_typicalRun{200000};
  bool m_killLeftoversAllowed = false;
  bool m_refusalKept = false;   // a failed forced update's record may stay
  bool m_cutPatchKept = false;  // a cut patch waits for the next update
  std::string m_newVersion;     // the version the current cycle's update makes
  bool m_verbose = EnvNumber("QR_SOAK_VERBOSE", 0) != 0;
};

TEST(Soak, ChainedForcedUpdatesWithFaults) {
  const int cycles = EnvNumber("QR_SOAK_CYCLES", 2 * soak::kFaultKinds);
  const uint32_t seed = static_cast<uint32_t>(EnvNumber("QR_SOAK_SEED", 20261208));
  // A full disk must fail writes, not kill the process that writes.
  ::signal(SIGXFSZ, SIG_IGN);
  const bool canLockOut = soak::GiveUpFileAccessOverride();
  SoakChain chain(seed, canLockOut);
  std::mt19937 pick(seed ^ 0x9E3779B9u);
  for (int i = 0; i < cycles && !::testing::Test::HasFatalFailure(); ++i) {
    // The first cycles alternate a clean update with each fault in turn; then faults come at
    // random.
    Fault fault;
    if (i < 2 * soak::kFaultKinds)
      fault = i % 2 == 0 ? Fault::none : static_cast<Fault>(1 + i / 2);
    else
      fault = pick() % 2 == 0 ? Fault::none : static_cast<Fault>(1 + pick() % soak::kFaultKinds);
    chain.Cycle(i, fault);
  }
  std::cout << soak::Report(chain.Counts(), seed, canLockOut);
}

}  // namespace
