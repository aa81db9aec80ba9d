// Asks the installed and the staged executable for their versions and keeps or removes the
// staged one.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "app/runner/os/os.h"

namespace runner {

struct DataFolder;

// What one probe told about an executable.
enum class ProbeAnswer {
  version,    // it answered with a version text
  noVersion,  // it is not a program, or it answered nothing or something that is no version
  unknown,    // it could not answer in time or could not be started this time: no verdict
};

struct ProbeResult {
  ProbeAnswer answer = ProbeAnswer::unknown;
  std::string text;  // the version text, for `version`
  std::string why;   // for the log, for `noVersion` and `unknown`
  bool timedOut = false;
};

// The one rule from a probe run to an answer, whichever system ran it.
ProbeResult JudgeProbe(os::CaptureResult result, const std::string& output);

// Runs `executable --version` and judges what it printed within `limit`.
ProbeResult GetExeVersion(const std::string& executable, std::chrono::milliseconds limit);

// The version text inside a probe's output: what follows the first 12 characters, up to the
// first line feed. Empty when the output is shorter than 12 or longer than 49 characters.
std::string CutVersionText(const std::string& probeOutput);

// Splits a version text at `delimiter` into numbers. Throws std::invalid_argument for a part
// without a number and std::out_of_range for one outside 32 bits.
std::vector<int> SplitVersion(const std::string& versionText, const std::string& delimiter);

// The version in `versionText`, or nothing when it is empty or holds a part that is not a number.
std::optional<std::vector<int>> ParseVersion(const std::string& versionText);

// True when the installed version is the newer one: the first position, within the shorter
// length, where the two differ has the greater part on the installed side.
bool InstalledVersionWins(const std::vector<int>& installed, const std::vector<int>& staged);

// What the version check decided about the staged executable.
enum class StagedVerdict {
  start,    // it passed: start it
  kept,     // no verdict this time (a probe timed out or could not start): the installed one
            // starts, the staged one is judged again at the next start
  removed,  // it failed and is gone, or it failed and could not be removed (tried again later)
};

// Probes both executables and keeps or removes the staged one; every removal and every probe
// without a verdict leaves one log line. A freshly written staged executable (one this data
// folder's probe record does not know) gets a longer time to answer, for a first start that a
// virus scanner holds up; one that timed out at three starts in a row is removed.
StagedVerdict CheckStagedVersion(const std::string& installedExecutable, const DataFolder& folder);

}  // namespace runner
