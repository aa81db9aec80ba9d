// Crash points: the runner is killed right before each of its file-system calls during an
// installation in turn; a fresh runner must then start a complete executable and end with the
// update either installed or cleanly dropped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "tests/runner/sandbox.h"
#include "tests/runner/update_files.h"
#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/temp_dir.h"

namespace runner_test {
namespace {

struct Scenario {
  std::string startVersion;   // the executable the update is made against
  bool startIsStaged;         // it runs as the staged executable, not the installed one
  std::string targetVersion;  // what the update installs
  bool hashed = false;        // the manifest names the base and the result by SHA-256
};

class CrashTrial {
 public:
  CrashTrial(const Scenario& scenario, const Bytes& patch, const std::string& manifest)
      : m_scenario(scenario), m_manifest(manifest) {
    m_box.InstallApp("1.0.0");
    fs::create_directories(m_box.DataFolder());
    if (scenario.startIsStaged) m_box.StageApp(scenario.startVersion);
    StageUpdate(m_box, patch, m_manifest);
    m_box.WriteFile(m_box.WorkFolder() / "crashpad_handler.exe", std::string(100000, 'c'));
    const char* asan = std::getenv("ASAN_OPTIONS");
    // The crash points run from the first read of the manifest to its removal.
    m_preloaded = {{"LD_PRELOAD", QR_CRASH_SHIM_PATH},
                   {"QR_CRASH_ARM", "update.json"},
                   {"QR_CRASH_DISARM", "update.json"},
                   {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  }

  // Runs the runner with the shim; returns how it ended.
  RunResult RunPreloaded(const std::map<std::string, std::string>& extra) {
    for (const auto& [name, value] : m_preloaded) m_box.SetEnv(name, value);
    for (const auto& [name, value] : extra) m_box.SetEnv(name, value);
    RunResult result = m_box.Run();
    for (const auto& [name, value] : m_preloaded) m_box.UnsetEnv(name);
    for (const auto& [name, value] : extra) m_box.UnsetEnv(name);
    if (const char* asan = std::getenv("ASAN_OPTIONS")) m_box.SetEnv("ASAN_OPTIONS", asan);
    return result;
  }

  // The checks after a crash at call `n`: a fresh runner starts a complete executable and leaves
  // the update installed or dropped, with nothing half-done behind.
  void RecoverAndCheck(long n, const Bytes& startBytes, const Bytes& targetBytes,
                       const Bytes& patch) {
    SCOPED_TRACE("crash at call " + std::to_string(n));
    // Cut between the patch's removal and the rename: a named result must be completed.
    const bool interrupted = !fs::exists(m_box.DataFolder() / "Patch") &&
                             fs::exists(m_box.DataFolder() / "Quorlin_new.exe");
    fs::remove(m_box.Root() / "journal");
    const RunResult fresh = m_box.Run();
    EXPECT_EQ(fresh.exitCode, 0);
    const std::vector<std::string> runs = m_box.Runs();
    ASSERT_FALSE(runs.empty()) << "no complete executable was started";
    for (const std::string& run : runs)
      EXPECT_TRUE(run == "run " + m_scenario.startVersion ||
                  run == "run " + m_scenario.targetVersion ||
                  (run == "run 1.0.0" && !m_scenario.startIsStaged))
          << run;

    // Only a patch the application was cut off while staging waits, for the rest of it.
    const fs::path stagedPatch = m_box.DataFolder() / "Patch";
    if (fs::exists(stagedPatch)) {
      EXPECT_LT(fs::file_size(stagedPatch), patch.size());
      EXPECT_THAT(m_box.LogMessages().back(),
                  ::testing::HasSubstr("Patch ended before its body did"));
    }
    const fs::path handler = m_box.DataFolder() / "crashpad_handler.exe";
    if (fs::exists(handler)) {
      EXPECT_EQ(hl_test::read_text(handler), std::string(100000, 'c'));
    }

    // A dropped first update leaves no staged executable at all.
    const Bytes staged =
        fs::exists(m_box.StagedExe()) ? hl_test::read_file(m_box.StagedExe()) : Bytes();
    const bool installed = staged == targetBytes;
    const bool dropped =
        m_scenario.startIsStaged ? staged == startBytes : !fs::exists(m_box.StagedExe());
    EXPECT_TRUE(installed || dropped) << "staged executable of " << staged.size() << " bytes";
    if (m_scenario.hashed && interrupted) {
      EXPECT_TRUE(installed)
          << "an interrupted installation whose result the manifest names was dropped";
    }
    if (installed) {
      for (const char* name : {"Quorlin_old.exe", "Quorlin_new.exe", "crashpad_handler_new.exe"})
        EXPECT_FALSE(fs::exists(m_box.DataFolder() / name)) << name;
      return;
    }
    // A dropped update may leave the runner's own transient files, never started; the next
    // installation replaces them and installs.
    StageUpdate(m_box, patch, m_manifest);
    EXPECT_EQ(m_box.Run().exitCode, 0);
    EXPECT_EQ(hl_test::read_file(m_box.StagedExe()), targetBytes);
    for (const char* name : {"Quorlin_old.exe", "Quorlin_new.exe", "crashpad_handler_new.exe",
                             "Patch", "update.json", "update.attempts"})
      EXPECT_FALSE(fs::exists(m_box.DataFolder() / name)) << name;
  }

  Sandbox& Box() { return m_box; }

 private:
  Scenario m_scenario;
  std::string m_manifest;
  Sandbox m_box;
  std::map<std::string, std::string> m_preloaded;
};

void RunEveryCrashPoint(const Scenario& scenario) {
  const Bytes startBytes = StandinBytes(scenario.startVersion);
  const Bytes targetBytes = StandinBytes(scenario.targetVersion);
  const hl_test::TempDir scratch("crash-start", QR_TEST_SCRATCH);
  hl_test::write_file(scratch.file("start"), startBytes);
  const Bytes patch =
      MakeVersionPatch(scratch.file("start"), scenario.targetVersion, hldiff::Compression::Lzma2);
  const std::string manifest = scenario.hashed
                                   ? R"({"base_sha256": ")" + Sha256Hex(startBytes) +
                                         R"(", "sha256": ")" + Sha256Hex(targetBytes) + R"("})"
                                   : "{}";

  long calls = 0;
  {
    CrashTrial calibration(scenario, patch, manifest);
    const fs::path countFile = calibration.Box().Root() / "calls";
    const RunResult result = calibration.RunPreloaded({{"QR_CRASH_COUNT", countFile.string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    calls = std::atol(hl_test::read_text(countFile).c_str());
    ASSERT_EQ(hl_test::read_file(calibration.Box().StagedExe()), targetBytes)
        << "the run without a crash installs";
  }
  ASSERT_GT(calls, 8) << "the shim saw too few calls to be in place";

  std::mutex progress;
  long next = 1;
  long killed = 0;
  auto worker = [&] {
    for (;;) {
      long n = 0;
      {
        std::lock_guard<std::mutex> lock(progress);
        if (next > calls) return;
        n = next++;
      }
      CrashTrial trial(scenario, patch, manifest);
      const RunResult crashed = trial.RunPreloaded({{"QR_CRASH_AT", std::to_string(n)}});
      EXPECT_TRUE(crashed.signal == SIGKILL || crashed.exitCode == 0) << "crash at " << n;
      if (crashed.signal == SIGKILL) {
        std::lock_guard<std::mutex> lock(progress);
        ++killed;
      }
      trial.RecoverAndCheck(n, startBytes, targetBytes, patch);
    }
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) workers.emplace_back(worker);
  for (std::thread& thread : workers) thread.join();
  EXPECT_GE(killed, calls - 2) << "most crash points must really stop the runner";
}

TEST(CrashPoints, FirstUpdate) { RunEveryCrashPoint({"1.0.0", false, "2.0.0"}); }

TEST(CrashPoints, UpdateOfAnUpdate) { RunEveryCrashPoint({"2.0.0", true, "3.0.0"}); }

TEST(CrashPoints, HashedUpdateOfAnUpdate) { RunEveryCrashPoint({"2.0.0", true, "3.0.0", true}); }

// Another process puts a link at Quorlin_new.exe just as the patch driver opens it: the file the
// link names is never written, whatever is installed.
TEST(CrashShimRaces, LinkPutAtThePatchOutputIsNeverWrittenThrough) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("2.0.0");
  const fs::path from = box.Root() / "from-2.0.0";
  hl_test::write_file(from, StandinBytes("2.0.0"));
  StageUpdate(box, MakeVersionPatch(from, "3.0.0"), "{}");
  const fs::path victim = box.WriteFile(box.Root() / "users-file", "the user's own file");
  const char* asan = std::getenv("ASAN_OPTIONS");
  box.SetEnv("LD_PRELOAD", QR_CRASH_SHIM_PATH);
  box.SetEnv("ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0");
  box.SetEnv("QR_LINK_AT_OUTPUT", (box.DataFolder() / "Quorlin_new.exe").string());
  box.SetEnv("QR_LINK_TARGET", victim.string());
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_TRUE(hl_test::read_text(victim) == "the user's own file")
      << "the file the link names was written";
}

}  // namespace
}  // namespace runner_test
