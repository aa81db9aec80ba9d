// The single-instance lock on Windows: a named kernel mutex, which dies with its last handle.
#include "app/runner/os/single_instance.h"

#include <windows.h>

#include <cstdio>

namespace runner::os {
namespace {

// The system's text for an error code, without its trailing line break.
std::string SystemErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
      0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string("unknown error");
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
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
  std::fprintf(stderr, "'CreateMutex' failed with error 0x%08lx (%s).\n", static_cast<unsigned long>(error),
               SystemErrorText(error).c_str());
  std::fflush(stderr);
}

SingleInstanceChecker::~SingleInstanceChecker() {
  if (m_lock->mutex != nullptr) ::CloseHandle(m_lock->mutex);
}

bool SingleInstanceChecker::IsAnotherRunning() const {
  if (m_lock->mutex == nullptr) {
    ReportAssertion(__FILE__, __LINE__, "m_mutex", "can't be called if mutex creation failed");
    return false;
  }
  return m_anotherRunning;
}

void ReportAssertion(const char* file, int line, const char* condition, const char* message) {
  std::fprintf(stderr, "%s(%d): assert \"%s\" failed: %s\n", file, line, condition, message);
  std::fflush(stderr);
}

}  // namespace runner::os
