#include "tests/wine/runner_installation.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"
#include "tests/wine/wine_run.h"

namespace wine_runner {
namespace {

// Long enough for a slow Wine start.
constexpr int kRunTimeLimitSeconds = 120;

// The first user folder of the prefix other than "Public": the one Wine made for this account.
std::string WineUser(const fs::path& drive) {
  std::vector<std::string> users;
  for (const fs::directory_entry& entry : fs::directory_iterator(drive / "users"))
    if (entry.path().filename() != "Public") users.push_back(entry.path().filename().string());
  if (users.empty()) throw std::runtime_error("no user folder in " + (drive / "users").string());
  return *std::min_element(users.begin(), users.end());
}

}  // namespace

Installation& Shared() {
  static Installation installation;
  return installation;
}

std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0')
    throw std::runtime_error(std::string(name) + " is not set");
  return value;
}

Installation::Installation()
    : m_prefix(FromEnvironment("WINEPREFIX")),
      m_root(FromEnvironment("QR_WORK")),
      m_install(m_root / "Quorlin Install" / "app"),
      m_cwd(m_root / "cwd"),
      m_journal(m_root / "journal"),
      m_runner(FromEnvironment("QR_RUNNER_EXE")),
      m_standin(FromEnvironment("QR_STANDIN_EXE")),
      m_user(WineUser(DriveC())) {
  m_data = DriveC() / "users" / m_user / "AppData" / "Roaming" / "Quorlin";
  ::setenv("QR_STANDIN_JOURNAL", hl_test::wine_path(m_journal).c_str(), 1);
  ::unsetenv("DISPLAY");
}

std::string Installation::InstalledExeWin() const {
  return hl_test::wine_path(m_install) + "\\Quorlin.exe";
}

std::string Installation::StagedExeWin() const {
  return "C:\\users\\" + m_user + "\\AppData\\Roaming\\Quorlin\\Quorlin.exe";
}

fs::path Installation::ForceManifest(bool force) const {
  return m_root / (force ? "force-true.json" : "force-false.json");
}

void Installation::SetUp() const {
  fs::remove_all(m_root);
  fs::create_directories(m_install);
  fs::create_directories(m_cwd);
  // A stand-in that journals under the version "decoy", so that any start of it shows.
  standin::MakeCopyWithVersion(m_standin.string(), (m_root / "Quorlin.exe").string(), "decoy");
  standin::MakeCopyWithVersion(m_standin.string(), Version2().string(), "2.0.0");
  hl_test::write_text(ForceManifest(true), "{\"force\": true}\n");
  hl_test::write_text(ForceManifest(false), "{\"force\": false}\n");
}

void Installation::Prepare() const {
  if (fs::exists(m_root / "Quorlin.exe") && fs::exists(Version2()) &&
      fs::exists(ForceManifest(true)) && fs::exists(ForceManifest(false)))
    return;
  SetUp();
  std::cout << "QuorlinRunner.exe to be installed in \"" << hl_test::wine_path(m_install) << "\"\n";
}

void Installation::CollectJournal() const {
  std::ofstream(AllJournals(), std::ios::binary | std::ios::app)
      << hl_test::read_text_if_present(m_journal);
  fs::remove(m_journal);
}

void Installation::Reset(const std::string& version, const fs::path& source) const {
  CollectJournal();
  fs::remove_all(m_data);
  for (const fs::directory_entry& entry : fs::directory_iterator(m_root))
    if (entry.path().filename().string().rfind("once-", 0) == 0) fs::remove(entry.path());
  fs::copy_file(m_runner, m_install / "QuorlinRunner.exe", fs::copy_options::overwrite_existing);
  standin::MakeCopyWithVersion((source.empty() ? m_standin : source).string(),
                               (m_install / "Quorlin.exe").string(), version);
}

void Installation::Stage(const std::string& version) const {
  fs::create_directories(m_data);
  standin::MakeCopyWithVersion(m_standin.string(), StagedExe().string(), version);
}

Captured Installation::Run(const std::vector<std::string>& environment) const {
  return Start(environment).wait();
}

hl_test::StartedChild Installation::Start(const std::vector<std::string>& environment) const {
  hl_test::ChildOptions options;
  options.workingDirectory = m_cwd.string();
  options.environment = environment;
  return StartUnderWine(
      {FromEnvironment("QR_LIMITED_START"), (m_install / "QuorlinRunner.exe").string()}, options);
}

hl_test::StartedChild Installation::StartElevated(
    const std::vector<std::string>& environment) const {
  hl_test::ChildOptions options;
  options.workingDirectory = m_cwd.string();
  options.environment = environment;
  return StartUnderWine({(m_install / "QuorlinRunner.exe").string()}, options);
}

Captured Installation::RunFrom(const fs::path& installFolder,
                               const std::vector<std::string>& environment) const {
  hl_test::ChildOptions options;
  options.workingDirectory = m_cwd.string();
  options.environment = environment;
  return StartUnderWine(
             {FromEnvironment("QR_LIMITED_START"), (installFolder / "QuorlinRunner.exe").string()},
             options)
      .wait();
}

hl_test::StartedChild StartUnderWine(const std::vector<std::string>& args,
                                     hl_test::ChildOptions options) {
  options.timeLimitSeconds = kRunTimeLimitSeconds;
  return hl_test::StartedChild(hl_test::wine_command(args), options);
}

std::string Installation::StageSteps(const std::string& version, const fs::path& patch,
                                     const fs::path& manifest) const {
  return "QR_STANDIN_RUN_" + standin::VersionKey(version) + "=once|" +
         hl_test::wine_path(m_root / ("once-" + version)) + ";stage|" + hl_test::wine_path(patch) +
         "|" + hl_test::wine_path(manifest);
}

std::vector<std::string> Installation::Journal() const {
  return hl_test::lines_of(hl_test::read_text_if_present(m_journal));
}

std::vector<std::string> Installation::Events() const {
  std::vector<std::string> events;
  for (const std::string& line : Journal()) {
    std::istringstream words(line);
    std::string kind, version;
    words >> kind >> version;
    if (kind == "run" || kind == "probe") events.push_back(kind + " " + version);
  }
  return events;
}

std::string Installation::LogText() const {
  return hl_test::read_text_if_present(m_data / "logs.log");
}

std::vector<std::string> Installation::LogMessages() const {
  std::string text = LogText();
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", end))
    text.erase(end, 1);
  return hl_test::log_messages(text);
}

std::vector<std::string> Installation::Leftovers() const {
  std::vector<std::string> left;
  for (const char* name : {"Patch", "update.json", "Quorlin_old.exe", "Quorlin_new.exe"})
    if (fs::exists(fs::symlink_status(m_data / name))) left.push_back(name);
  return left;
}

::testing::AssertionResult Installation::Ran(const Captured& run,
                                             const std::vector<std::string>& events,
                                             const std::vector<std::string>& log) const {
  if (run.exitCode != 0)
    return ::testing::AssertionFailure()
           << "runner exit code " << run.exitCode << "; stderr: " << run.err;
  // Either mismatch shows both, with the runner's stderr: a missing start is told by the log.
  if (Events() != events || LogMessages() != log)
    return ::testing::AssertionFailure()
           << "journal " << ::testing::PrintToString(Events()) << ", expected "
           << ::testing::PrintToString(events) << "; log "
           << ::testing::PrintToString(LogMessages()) << ", expected "
           << ::testing::PrintToString(log) << "; stderr: " << run.err;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Installation::StagedIs(const fs::path& want) const {
  if (!fs::exists(StagedExe())) return ::testing::AssertionFailure() << "no staged executable";
  if (hl_test::read_file(StagedExe()) != hl_test::read_file(want))
    return ::testing::AssertionFailure() << "the staged executable differs from " << want;
  if (!Leftovers().empty())
    return ::testing::AssertionFailure()
           << "left behind: " << ::testing::PrintToString(Leftovers());
  return ::testing::AssertionSuccess();
}

}  // namespace wine_runner
