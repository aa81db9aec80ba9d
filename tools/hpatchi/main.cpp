// hpatchi OLD PATCH NEW: applies an hpatch_lite patch and exits with the driver's result code.
#include <cstdio>

#include "patch/hl_result.h"
#include "patch/hpatchi.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>
#endif

namespace {

constexpr const char* kUsage = "usage: hpatchi OLD PATCH NEW   (OLD may be \"\" for no old file)\n";

int run(int argc, char** argv) {
  if (argc != 4) {
    std::fputs(kUsage, stderr);
    return HPATCHI_TOOL_USAGE_ERROR;
  }
  return hpatchi_run(argv[1], argv[2], argv[3]);
}

#ifdef _WIN32
// The driver takes UTF-8 paths; the narrow argv of a Windows program is in the ANSI code page
// and loses every character outside it, so the arguments are taken wide and converted.
bool to_utf8(const wchar_t* wide, std::string& out) {
  int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr,
                                 nullptr);
  if (size <= 0) return false;
  out.assign(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, &out[0], size, nullptr,
                          nullptr) != size) {
    return false;
  }
  out.resize(static_cast<size_t>(size) - 1);  // the terminator is the string's own
  return true;
}
#endif

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments(static_cast<size_t>(argc));
  std::vector<char*> pointers;
  for (int i = 0; i < argc; ++i) {
    if (!to_utf8(argv[i], arguments[static_cast<size_t>(i)])) {
      std::fputs("hpatchi: an argument is not valid UTF-16\n", stderr);
      return HPATCHI_TOOL_USAGE_ERROR;
    }
    pointers.push_back(&arguments[static_cast<size_t>(i)][0]);
  }
  pointers.push_back(nullptr);
  return run(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
