// The runner: takes the single-instance lock and, when no other runner holds it, supervises
// the application until the runner is to end.
#pragma once

#include <memory>

namespace runner::os {
class SingleInstanceChecker;
}
using SingleInstanceChecker = runner::os::SingleInstanceChecker;

class ProcessRunner {
 public:
  // Runs the whole program.
  ProcessRunner();
  ProcessRunner(const ProcessRunner&) = delete;
  ProcessRunner& operator=(const ProcessRunner&) = delete;
  ~ProcessRunner();

 private:
  // The supervisor loop; returns when the runner is to end.
  void WindowsProcessing();

  std::unique_ptr<SingleInstanceChecker> m_SingleInstanceChecker;
};
