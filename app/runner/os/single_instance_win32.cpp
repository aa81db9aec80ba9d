// The single-instance lock on Windows: a named kernel mutex, which dies with its last handle.
#include "app/runner/os/single_instance.h"

#include <windows.h>

#include <cstdio>

#include "app/runner/os/wide_text_win32.h"

namespace runner::os {
namespace {

// The system's text for an error code, in UTF-8, without its trailing line break.
std::string SystemErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = "unknown error";
  if (length != 0 && text != nullptr) message = Narrow(text, length).value_or(message);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message;
}

}  // namespace

struct SingleInstanceChecker::Lock {
  HANDLE mutex = nullptr;
};

SingleInstanceChecker::SingleInstanceChecker(const std::string& name, const std::string&)
    : m_lock(std::make_unique<Lock>()) {
  // The name is ASCII, so widening each character is exact.
  const std::wstring wideName(name.begin(), name.end());
  m_lock->mutex = ::CreateMutexW(nullptr, FALSE, wideName.c_str());
  if (m_lock->mutex != nullptr) {
    m_anotherRunning = ::GetLastError() == ERROR_ALREADY_EXISTS;
    return;
  }
  const DWORD error = ::GetLastError();
  // The mutex exists, made by a runner with rights this one lacks (an elevated one): its default
  // security lets this user wait on it at most, and its existence is the lock all the same.
  if (error == ERROR_ACCESS_DENIED) {
    m_lock->mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, wideName.c_str());
    m_anotherRunning = true;
    return;
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(error));
  const std::string report =
      "'CreateMutex' failed with error " + std::string(code) + " (" + SystemErrorText(error) + ").";
  // A GUI program's standard error goes nowhere unless redirected; the log has it from Problem().
  std::fprintf(stderr, "%s\n", report.c_str());
  std::fflush(stderr);
  m_problem = "single-instance lock not taken: " + report;
}

SingleInstanceChecker::~SingleInstanceChecker() {
  if (m_lock->mutex != nullptr) ::CloseHandle(m_lock->mutex);
}

bool SingleInstanceChecker::IsAnotherRunning() const {
  if (m_anotherRunning) return true;
  if (m_lock->mutex == nullptr) {
    ReportAssertion(__FILE__, __LINE__, "m_mutex", "can't be called if mutex creation failed");
    return false;
  }
  return false;
}

void ReportAssertion(const char* file, int line, const char* condition, const char* message) {
  std::fprintf(stderr, "%s(%d): assert \"%s\" failed: %s\n", file, line, condition, message);
  std::fflush(stderr);
}

}  // namespace runner::os
