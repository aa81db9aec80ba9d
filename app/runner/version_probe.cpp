#include "app/runner/version_probe.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "app/runner/os/os.h"

namespace runner {
namespace {

constexpr std::string::size_type kSkippedPrefix = 12;
constexpr std::string::size_type kLongestOutput = 49;
// One byte past the longest answer: enough to tell that an answer is too long.
constexpr std::size_t kKeptOutput = kLongestOutput + 1;
// A probe that has not answered and ended by then is given up on: an answer takes milliseconds.
constexpr std::chrono::seconds kProbeTimeLimit(5);

}  // namespace

std::optional<std::string> GetExeVersion(std::string executable) {
  std::string output;
  switch (os::CaptureOutput(executable, "--version", kKeptOutput, kProbeTimeLimit, output)) {
    case os::CaptureResult::pipeFailed:
      std::cerr << "CreatePipe failed" << std::endl;
      return std::nullopt;
    case os::CaptureResult::startFailed:
      std::cerr << "CreateProcess failed" << std::endl;
      return std::nullopt;
    case os::CaptureResult::notAProgram:
      std::cerr << "CreateProcess failed" << std::endl;
      return std::string();
    case os::CaptureResult::timedOut:
      return std::string();
    case os::CaptureResult::captured:
      break;
  }
  return CutVersionText(output);
}

std::string CutVersionText(const std::string& probeOutput) {
  // Outputs too short to hold the prefix count as no version, like empty or overlong ones.
  if (probeOutput.size() <= kSkippedPrefix || probeOutput.size() > kLongestOutput) return std::string();
  const std::string::size_type lineFeed = probeOutput.find('\n');
  if (lineFeed == std::string::npos || lineFeed < kSkippedPrefix) return probeOutput.substr(kSkippedPrefix);
  return probeOutput.substr(kSkippedPrefix, lineFeed - kSkippedPrefix);
}

std::vector<int> SplitVersion(const std::string& versionText, const std::string& delimiter) {
  std::vector<int> parts;
  std::string::size_type position = 0;
  for (;;) {
    const std::string::size_type found = versionText.find(delimiter, position);
    const std::string part =
        versionText.substr(position, found == std::string::npos ? std::string::npos : found - position);
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

bool CheckStagedVersion(const std::string& installedExecutable, const std::string& stagedExecutable) {
  const std::optional<std::string> installedText = GetExeVersion(installedExecutable);
  const std::optional<std::string> stagedText = GetExeVersion(stagedExecutable);
  if (!stagedText) return false;
  const std::optional<std::vector<int>> staged = ParseVersion(*stagedText);
  if (!staged) {
    std::filesystem::remove(stagedExecutable);
    return false;
  }
  // Without the installed version nothing can be compared: an installed executable that gave
  // no version leaves the staged one to run, one that could not be asked leaves the choice open.
  if (!installedText) return false;
  const std::optional<std::vector<int>> installed = ParseVersion(*installedText);
  if (installed && InstalledVersionWins(*installed, *staged)) {
    std::filesystem::remove(stagedExecutable);
    return false;
  }
  return true;
}

}  // namespace runner
