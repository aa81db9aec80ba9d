// The single-instance lock between runners of one user session, and the assertion report of
// the runner's own checks.
#pragma once

#include <memory>
#include <string>

namespace runner::os {

class SingleInstanceChecker {
 public:
  // Takes the lock `name` at once and holds it until the checker is destroyed. On Windows it is
  // a named kernel mutex and `path` is not used. On POSIX it is a kernel lock on the file `name`
  // in the folder `path` (the home folder when empty); the file's content is never read.
  SingleInstanceChecker(const std::string& name, const std::string& path);
  SingleInstanceChecker(const SingleInstanceChecker&) = delete;
  SingleInstanceChecker& operator=(const SingleInstanceChecker&) = delete;
  // Releases the lock; the system also releases it when the process ends in any other way.
  ~SingleInstanceChecker();

  // True when another runner holds the lock. A checker that could not take the lock for any
  // other reason has reported that and answers false, so the runner goes on without exclusion.
  bool IsAnotherRunning() const;

  // Why the lock could not be taken, for the log; empty when it was taken, when another runner
  // holds it, and on Windows, which reports its failure on the standard error stream only.
  const std::string& Problem() const { return m_problem; }

  struct Lock;

 private:
  std::unique_ptr<Lock> m_lock;
  bool m_anotherRunning = false;
  std::string m_problem;
};

// Reports a failed assertion of the runner's own checks on the standard error stream.
void ReportAssertion(const char* file, int line, const char* condition, const char* message);

}  // namespace runner::os
