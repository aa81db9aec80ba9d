#include "app/runner/version_probe.h"

#include <easylogging++.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "app/runner/data_folder.h"
#include "app/runner/update_attempts.h"

namespace runner {
namespace {

// The application's answer to --version is one line: 12 characters that the runner skips
// unread, then the dotted version, then a line feed; 49 characters at most in all.
constexpr std::string::size_type kSkippedPrefix = 12;
constexpr std::string::size_type kLongestOutput = 49;
// One byte past the longest answer: enough to tell that an answer is too long.
constexpr std::size_t kKeptOutput = kLongestOutput + 1;
// An answer takes milliseconds; the first start of a freshly written executable may wait for a
// virus scanner reading the whole file first.
constexpr std::chrono::seconds kProbeTimeLimit(5);
constexpr std::chrono::seconds kFirstProbeTimeLimit(60);

const char* const kStagedName = "staged Quorlin.exe";

std::string IdentityText(const std::optional<os::FileIdentity>& identity) {
  if (!identity) return "-";
  return std::to_string(identity->device) + ":" + std::to_string(identity->file);
}

// The answer as the log can hold it: a control character (a carriage return, a line feed of a
// hostile answer) would break the line or forge another; it is written as \xNN instead.
std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string printable;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      printable += c;
    } else {
      printable += "\\x";
      printable += kHex[byte >> 4];
      printable += kHex[byte & 0xF];
    }
  }
  return printable;
}

std::string VersionList(const std::vector<int>& version) {
  std::string text;
  for (const int part : version) text += (text.empty() ? "" : ".") + std::to_string(part);
  return text;
}

// Removes the staged executable that failed the check, unless it is no longer the one probed
// (an installation replaced it meanwhile) or an installation is under way.
StagedVerdict RemoveStaged(const DataFolder& folder, const os::FileIdentity& probed,
                           const std::string& reason) {
  std::error_code busy;
  const std::unique_ptr<os::FileLock> lock = TakeInstallLock(folder, busy);
  std::error_code error;
  if (!lock && busy) {
    LOG(INFO) << kStagedName << " fails the version check (" << reason
              << "), left for a later start: " << InstallLockProblem(busy);
    return StagedVerdict::removed;
  }
  if (os::IdentityAt(folder.stagedExecutable, error) != probed) {
    LOG(INFO) << kStagedName << " fails the version check (" << reason
              << "), but was replaced meanwhile";
    return StagedVerdict::removed;
  }
  KeyedCount(folder.probeFile).Clear();
  if (RemoveEntry(folder.stagedExecutable, error))
    LOG(INFO) << kStagedName << " removed: " << reason;
  else
    LOG(INFO) << kStagedName << " fails the version check (" << reason
              << ") and cannot be removed: " << error.message()
              << ": tried again at the next start";
  return StagedVerdict::removed;
}

}  // namespace

ProbeResult JudgeProbe(os::CaptureResult result, const std::string& output) {
  ProbeResult judged;
  switch (result) {
    case os::CaptureResult::pipeFailed:
      judged.why = "no pipe for its version probe";
      return judged;
    case os::CaptureResult::startFailed:
      judged.why = "its version probe could not be started this time";
      return judged;
    case os::CaptureResult::timedOut:
      judged.timedOut = true;
      judged.why = "its version probe timed out";
      return judged;
    case os::CaptureResult::notAProgram:
      judged.answer = ProbeAnswer::noVersion;
      judged.why = "it is not a program";
      return judged;
    case os::CaptureResult::captured:
      break;
  }
  judged.text = CutVersionText(output);
  judged.answer = judged.text.empty() ? ProbeAnswer::noVersion : ProbeAnswer::version;
  if (judged.text.empty()) judged.why = "it gave no version";
  return judged;
}

ProbeResult GetExeVersion(const std::string& executable, std::chrono::milliseconds limit) {
  std::string output;
  const os::CaptureResult result =
      os::CaptureOutput(executable, "--version", kKeptOutput, limit, output);
  if (result == os::CaptureResult::pipeFailed) std::cerr << "CreatePipe failed" << std::endl;
  if (result == os::CaptureResult::startFailed || result == os::CaptureResult::notAProgram)
    std::cerr << "CreateProcess failed" << std::endl;
  return JudgeProbe(result, output);
}

std::string CutVersionText(const std::string& probeOutput) {
  // Outputs too short to hold the prefix count as no version, like empty or overlong ones.
  if (probeOutput.size() <= kSkippedPrefix || probeOutput.size() > kLongestOutput)
    return std::string();
  const std::string::size_type lineFeed = probeOutput.find('\n');
  if (lineFeed == std::string::npos || lineFeed < kSkippedPrefix)
    return probeOutput.substr(kSkippedPrefix);
  return probeOutput.substr(kSkippedPrefix, lineFeed - kSkippedPrefix);
}

std::vector<int> SplitVersion(const std::string& versionText, const std::string& delimiter) {
  std::vector<int> parts;
  std::string::size_type position = 0;
  for (;;) {
    const std::string::size_type found = versionText.find(delimiter, position);
    const std::string part = versionText.substr(
        position, found == std::string::npos ? std::string::npos : found - position);
    parts.push_back(std::stoi(part));
    if (found == std::string::npos) return parts;
    position = found + delimiter.size();
  }
}

std::optional<std::vector<int>> ParseVersion(const std::string& versionText) {
  if (versionText.empty()) return std::nullopt;
  try {
    return SplitVersion(versionText, ".");
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

bool InstalledVersionWins(const std::vector<int>& installed, const std::vector<int>& staged) {
  const std::size_t compared = std::min(installed.size(), staged.size());
  for (std::size_t i = 0; i < compared; ++i) {
    if (installed[i] != staged[i]) return installed[i] > staged[i];
  }
  return false;
}

StagedVerdict CheckStagedVersion(const std::string& installedExecutable, const DataFolder& folder) {
  std::error_code error;
  const std::optional<os::FileIdentity> stagedIdentity =
      os::IdentityAt(folder.stagedExecutable, error);
  if (!stagedIdentity) return StagedVerdict::removed;
  // The record names the pair it has seen answer; a pair it does not know is probed with patience.
  const std::string pair =
      IdentityText(stagedIdentity) + "/" + IdentityText(os::IdentityAt(installedExecutable, error));
  KeyedCount record(folder.probeFile);
  const std::optional<uint32_t> timeouts = record.Find(pair);
  const std::chrono::milliseconds limit = timeouts ? kProbeTimeLimit : kFirstProbeTimeLimit;

  const ProbeResult installed = GetExeVersion(installedExecutable, limit);
  const ProbeResult staged = GetExeVersion(folder.stagedExecutable, limit);
  if (staged.answer == ProbeAnswer::noVersion)
    return RemoveStaged(folder, *stagedIdentity, staged.why);
  if (staged.answer == ProbeAnswer::unknown) {
    if (!staged.timedOut) {
      LOG(INFO) << kStagedName << " kept for a later start: " << staged.why;
      return StagedVerdict::kept;
    }
    const uint32_t inARow = timeouts.value_or(0) + 1;
    if (inARow >= kUpdateAttemptLimit)
      return RemoveStaged(folder, *stagedIdentity,
                          staged.why + " at " + std::to_string(inARow) + " starts in a row");
    record.Write(pair, inARow);
    LOG(INFO) << kStagedName << " kept for a later start: " << staged.why << " (" << inARow
              << " of " << kUpdateAttemptLimit << ")";
    return StagedVerdict::kept;
  }
  const std::optional<std::vector<int>> stagedVersion = ParseVersion(staged.text);
  if (!stagedVersion)
    return RemoveStaged(folder, *stagedIdentity,
                        "its version \"" + Printable(staged.text) + "\" is no version");
  // An installed executable that gave no version leaves the staged one to run; one that gave no
  // verdict leaves the choice for a later start, and its third timeout in a row counts as no
  // version: an installed copy that is always slow must not hold a sound update back for good.
  if (installed.answer == ProbeAnswer::unknown) {
    const uint32_t inARow = timeouts.value_or(0) + (installed.timedOut ? 1 : 0);
    if (inARow != timeouts) record.Write(pair, inARow);
    if (inARow < kUpdateAttemptLimit) {
      LOG(INFO) << kStagedName
                << " kept for a later start: the installed Quorlin.exe: " << installed.why
                << (installed.timedOut ? " (" + std::to_string(inARow) + " of " +
                                             std::to_string(kUpdateAttemptLimit) + ")"
                                       : std::string());
      return StagedVerdict::kept;
    }
    LOG(INFO) << kStagedName << " started: the installed Quorlin.exe: " << installed.why << " at "
              << inARow << " starts in a row";
    return StagedVerdict::start;
  }
  // Known and already at 0 needs no write; unknown, or a count to end, does.
  if (timeouts != 0u) record.Write(pair, 0);
  if (installed.answer == ProbeAnswer::noVersion) return StagedVerdict::start;
  const std::optional<std::vector<int>> installedVersion = ParseVersion(installed.text);
  if (installedVersion && InstalledVersionWins(*installedVersion, *stagedVersion))
    return RemoveStaged(folder, *stagedIdentity,
                        "the installed version " + VersionList(*installedVersion) +
                            " is newer than " + VersionList(*stagedVersion));
  return StagedVerdict::start;
}

}  // namespace runner
