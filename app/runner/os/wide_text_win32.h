// The runner's UTF-8 text as the UTF-16 that the wide Win32 calls take, and back, with the patch
// engine's conversion (patch/hl_platform_win32.h). No ANSI code page is ever involved: it cannot
// spell every user's folder names.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "patch/hl_platform_win32.h"

namespace runner::os {

// UTF-8 as UTF-16; nothing when `utf8` is no valid UTF-8.
inline std::optional<std::wstring> Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int length = hl_platform_utf16_from_utf8(utf8.data(), size, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (hl_platform_utf16_from_utf8(utf8.data(), size, wide.data(), length) != length)
    return std::nullopt;
  return wide;
}

// UTF-16 as UTF-8; nothing when it holds an unpaired surrogate, which no UTF-8 can carry.
inline std::optional<std::string> Narrow(const wchar_t* wide, size_t count) {
  if (count == 0) return std::string();
  const int size = static_cast<int>(count);
  const int length = hl_platform_utf8_from_utf16(wide, size, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::string narrow(static_cast<size_t>(length), '\0');
  if (hl_platform_utf8_from_utf16(wide, size, narrow.data(), length) != length) return std::nullopt;
  return narrow;
}

inline std::optional<std::string> Narrow(const std::wstring& wide) {
  return Narrow(wide.data(), wide.size());
}

// `path` as the wide file calls take it: made full, and an absolute one given the "\\?\" prefix
// ("\\?\UNC\" for a share), so that no MAX_PATH limit applies. Nothing when it is no UTF-8.
inline std::optional<std::wstring> SystemPath(const std::string& path) {
  std::optional<std::wstring> wide = Widen(path);
  if (!wide || wide->empty()) return wide;
  // Already in the system's own form: taken as it is.
  if (wide->rfind(L"\\\\?\\", 0) == 0 || wide->rfind(L"\\\\.\\", 0) == 0 ||
      wide->rfind(L"\\??\\", 0) == 0)
    return wide;
  // The prefix turns off the system's clean-up of the path ("/", ".", ".."), so it is done here.
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetFullPathNameW(wide->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return wide;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  return full;
}

}  // namespace runner::os
