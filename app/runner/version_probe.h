// Asks the installed and the staged executable for their versions and keeps or removes the
// staged one.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace runner {

// Runs `executable --version` and returns the version text it prints: empty when it gave none,
// could not be run, or did not end within the probe's time limit; nothing when it could not be
// asked at all (no pipe or no process to be had), which says nothing about the executable.
std::optional<std::string> GetExeVersion(std::string executable);

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

// Removes the staged executable when it has no version or the installed one wins. True when the
// staged executable is to be started; false also when a probe could not be made, which keeps it
// for a later start but starts the installed one this time.
bool CheckStagedVersion(const std::string& installedExecutable, const std::string& stagedExecutable);

}  // namespace runner
