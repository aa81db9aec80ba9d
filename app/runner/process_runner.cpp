#include "app/runner/process_runner.h"

#include <string>

#include "app/runner/lock_name.h"
#include "app/runner/log_setup.h"
#include "app/runner/os/single_instance.h"

#define RUNNER_ASSERT_MSG(condition, message) \
  ((condition) ? (void)0 : runner::os::ReportAssertion(__FILE__, __LINE__, #condition, message))

ProcessRunner::ProcessRunner() {
  m_SingleInstanceChecker =
      std::make_unique<SingleInstanceChecker>(QR_RUNNER_LOCK_NAME, std::string());
  RUNNER_ASSERT_MSG(m_SingleInstanceChecker != nullptr, "Bad data!");
  if (m_SingleInstanceChecker->IsAnotherRunning()) {
    m_SingleInstanceChecker.reset();
    return;
  }
  // The log has no file yet; the reason the lock is missing reaches it as soon as it has one.
  if (!m_SingleInstanceChecker->Problem().empty())
    runner::LogOnceTheFileIsSet(m_SingleInstanceChecker->Problem());
  WindowsProcessing();
}

ProcessRunner::~ProcessRunner() = default;
