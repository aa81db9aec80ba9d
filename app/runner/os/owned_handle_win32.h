// An owned Win32 handle, closed when it goes out of scope. Both of the system's "no handle"
// values count as none: null, as most calls give it, and INVALID_HANDLE_VALUE, as CreateFileW
// and FindFirstFileW do.
#pragma once

#include <windows.h>

namespace runner::os {

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : m_handle(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Close(); }
  HANDLE Get() const { return m_handle; }
  bool Valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  // Where a call that gives a handle through a pointer puts it.
  HANDLE* Receive() {
    Close();
    return &m_handle;
  }
  // Gives the handle up to the caller, which closes it.
  HANDLE Release() {
    const HANDLE handle = m_handle;
    m_handle = nullptr;
    return handle;
  }
  void Reset(HANDLE handle) {
    Close();
    m_handle = handle;
  }
  void Close() {
    if (Valid()) ::CloseHandle(m_handle);
    m_handle = nullptr;
  }

 private:
  HANDLE m_handle;
};

}  // namespace runner::os
