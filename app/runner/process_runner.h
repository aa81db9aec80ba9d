// The runner: takes the single-instance lock and, when no other runner holds it, supervises
// the application until the runner is to end.
#pragma once

#include <memory>

#ifdef _WIN32
// No wxWidgets for the Windows build: a checker of our own with the same surface.
namespace runner::os {
class SingleInstanceChecker;
}
using SingleInstanceChecker = runner::os::SingleInstanceChecker;
#else
class wxSingleInstanceChecker;
using SingleInstanceChecker = wxSingleInstanceChecker;
#endif

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
