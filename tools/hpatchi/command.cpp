// hpatchi OLD PATCH NEW: applies an hpatch_lite patch and exits with the driver's result code.
#include "tools/hpatchi/command.h"

#include <cstdio>
#include <cstring>

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
    "\n"
    "Exit code: 0 when NEW was written, 1 for wrong arguments, otherwise the patch driver's\n"
    "result: 3 OLD or PATCH cannot be opened, 4 NEW cannot be opened, 5 OLD cannot be read\n"
    "(also when it is shorter than the patch needs), 6 NEW cannot be written in full, 8 a file\n"
    "cannot be closed, 9 not enough memory, 10 unknown compression, 11 invalid decompressor\n"
    "settings, 12 the decompressor cannot start, 13 the zlib decompressor cannot end, 20 not a\n"
    "patch (invalid header), 21 the patch failed otherwise (a damaged body, or old bytes asked\n"
    "for with no old file).\n";

}  // namespace

int run(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
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
