// How often one staged update has failed for a passing reason (a full disk, no memory), kept
// in the runner's own file "update.attempts" in the data folder across runs.
#pragma once

#include <string>

namespace runner {

// An update that failed this many times for a passing reason is dropped.
constexpr int kUpdateAttemptLimit = 3;

class UpdateAttempts {
 public:
  explicit UpdateAttempts(const std::string& dataFolder) : m_file(dataFolder + "update.attempts") {}

  // Counts one more failed attempt at the update identified by `update` (the patch's digest)
  // and returns the attempts so far; another update starts the count afresh.
  int CountFailure(const std::string& update);
  // Forgets the count once the update is installed or dropped.
  void Clear();

 private:
  std::string m_file;
};

}  // namespace runner
