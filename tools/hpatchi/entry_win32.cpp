// hpatchi's entry on Windows. The driver takes UTF-8 paths; the narrow argv of a Windows program is
// in the ANSI code page and loses every character outside it, so the arguments are taken wide
// (wmain) and converted.
#include <cstdio>
#include <string>
#include <vector>

#include "patch/hl_platform_win32.h"
#include "patch/hl_result.h"
#include "tools/hpatchi/command.h"

namespace {

bool to_utf8(const wchar_t* wide, std::string& out) {
  int size = hl_platform_utf8_from_utf16(wide, -1, nullptr, 0);
  if (size <= 0) return false;
  out.assign(static_cast<size_t>(size), '\0');
  if (hl_platform_utf8_from_utf16(wide, -1, &out[0], size) != size) return false;
  out.resize(static_cast<size_t>(size) - 1);  // the terminator is the string's own
  return true;
}

}  // namespace

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
  return hpatchi_tool::run(argc, pointers.data());
}
