#include "app/runner/process_runner.h"

#include <wx/debug.h>
#include <wx/snglinst.h>
#include <wx/string.h>

ProcessRunner::ProcessRunner() {
  const wxString lockName =
      wxString::Format(L".___%s_%s__AppSingleInstanceCheckerUniqueName__.lock", "delvaro", "quorlinrunner");
  m_SingleInstanceChecker = std::make_unique<wxSingleInstanceChecker>(lockName, wxString());
  wxASSERT_MSG(m_SingleInstanceChecker != nullptr, "Bad data!");
  if (m_SingleInstanceChecker->IsAnotherRunning()) {
    m_SingleInstanceChecker.reset();
    return;
  }
  WindowsProcessing();
}

ProcessRunner::~ProcessRunner() = default;
