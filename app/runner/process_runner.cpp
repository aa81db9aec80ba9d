#include "app/runner/process_runner.h"

#ifdef _WIN32
#include <cwchar>
#include <string>

#include "app/runner/os/single_instance_win32.h"

namespace {

using LockName = std::wstring;

// "%hs": the two arguments are narrow ASCII strings, widened by the formatting.
LockName MakeLockName(const char* vendor, const char* program) {
  wchar_t name[128];
  std::swprintf(name, sizeof name / sizeof name[0], L".___%hs_%hs__AppSingleInstanceCheckerUniqueName__.lock",
                vendor, program);
  return name;
}

}  // namespace

#define RUNNER_ASSERT_MSG(condition, message) \
  ((condition) ? (void)0 : runner::os::ReportAssertion(__FILE__, __LINE__, #condition, message))
#else
#include <wx/debug.h>
#include <wx/snglinst.h>
#include <wx/string.h>

namespace {

using LockName = wxString;

LockName MakeLockName(const char* vendor, const char* program) {
  return wxString::Format(L".___%s_%s__AppSingleInstanceCheckerUniqueName__.lock", vendor, program);
}

}  // namespace

#define RUNNER_ASSERT_MSG(condition, message) wxASSERT_MSG(condition, message)
#endif

ProcessRunner::ProcessRunner() {
  const LockName lockName = MakeLockName("delvaro", "quorlinrunner");
  m_SingleInstanceChecker = std::make_unique<SingleInstanceChecker>(lockName, LockName());
  RUNNER_ASSERT_MSG(m_SingleInstanceChecker != nullptr, "Bad data!");
  if (m_SingleInstanceChecker->IsAnotherRunning()) {
    m_SingleInstanceChecker.reset();
    return;
  }
  WindowsProcessing();
}

ProcessRunner::~ProcessRunner() = default;
