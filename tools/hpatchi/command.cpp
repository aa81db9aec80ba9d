// hpatchi OLD PATCH NEW: applies an hpatch_lite patch and exits with the driver's result code.
#include "tools/hpatchi/command.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "patch/hl_result.h"
#include "patch/hpatchi.h"

namespace hpatchi_tool {

namespace {

constexpr const char* kUsage = "usage: hpatchi OLD PATCH NEW   (OLD may be \"\" for no old file)\n";

// Follows the usage line in the answer to --help.
constexpr const char* kHelp =
    "       hpatchi --help | --version\n"
    "\n"
    "Applies the hpatch_lite patch PATCH to OLD and writes NEW, in a memory block whose size is\n"
    "fixed before the patch starts. It prints a trace on standard output and errors on standard\n"
    "error.\n"
    "\n"
    "  OLD        the file the patch was made from; \"\" when it was made from no old file\n"
    "  PATCH      the patch (as mkpatch writes it)\n"
    "  NEW        the file to write; created or emptied first, and left as far as it was\n"
    "             written when the patch fails\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n";

// The help's last paragraph, in the engine's words for each code, wrapped as the text above.
std::string exit_codes_text() {
  std::string text = std::string("Exit code: 0 when ") + hl_result_text(HPATCHI_OK) + ", 1 for " +
                     hl_result_text(HPATCHI_TOOL_USAGE_ERROR) +
                     ", otherwise the patch driver's result:";
  for (int code = HPATCHI_OPEN_READ_ERROR; code <= HPATCHI_PATCH_ERROR; ++code) {
    if (const char* meaning = hl_result_text(code))
      text += (code == HPATCHI_OPEN_READ_ERROR ? " " : ", ") + std::to_string(code) + " " + meaning;
  }
  text += '.';
  constexpr size_t kWidth = 90;
  std::string wrapped;
  size_t lineStart = 0;
  while (text.size() - lineStart > kWidth) {
    const size_t cut = text.rfind(' ', lineStart + kWidth);
    wrapped.append(text, lineStart, cut - lineStart).append("\n");
    lineStart = cut + 1;
  }
  return wrapped.append(text, lineStart, std::string::npos).append("\n");
}

}  // namespace

int run(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    std::fputs(exit_codes_text().c_str(), stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs("hpatchi " QR_VERSION "\n", stdout);
    return 0;
  }
  if (argc != 4) {
    std::fputs(kUsage, stderr);
    return HPATCHI_TOOL_USAGE_ERROR;
  }
  return hpatchi_run(argv[1], argv[2], argv[3]);
}

}  // namespace hpatchi_tool
