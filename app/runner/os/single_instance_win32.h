// The single-instance lock of the Windows build, which has no wxWidgets: a named kernel mutex
// with the surface of wxSingleInstanceChecker that the runner uses.
#pragma once

#include <string>

namespace runner::os {

class SingleInstanceChecker {
 public:
  // Creates the mutex `name` at once; `path` is not used on Windows.
  SingleInstanceChecker(const std::wstring& name, const std::wstring& path);
  SingleInstanceChecker(const SingleInstanceChecker&) = delete;
  SingleInstanceChecker& operator=(const SingleInstanceChecker&) = delete;
  // Closes this process's handle; the mutex goes when the last runner's handle goes.
  ~SingleInstanceChecker();

  // True when the mutex existed before this checker opened it. A checker whose mutex could not
  // be created reports that and answers false, so the runner goes on without exclusion.
  bool IsAnotherRunning() const;

 private:
  void* m_mutex = nullptr;
  bool m_alreadyExisted = false;
};

// Reports a failed assertion of the runner's own checks on the standard error stream.
void ReportAssertion(const char* file, int line, const char* condition, const char* message);

}  // namespace runner::os
