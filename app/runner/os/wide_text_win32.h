// Narrow text of the runner, read in the ANSI code page, as the UTF-16 the wide Win32 calls take.
#pragma once

#include <windows.h>

#include <string>

namespace runner::os {

inline std::wstring Widen(const std::string& narrow) {
  if (narrow.empty()) return std::wstring();
  const int length = ::MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

}  // namespace runner::os
