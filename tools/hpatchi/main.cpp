// hpatchi OLD PATCH NEW: applies an hpatch_lite patch and exits with the driver's result code.
#include <cstdio>

#include "patch/hl_result.h"
#include "patch/hpatchi.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: hpatchi OLD PATCH NEW   (OLD may be \"\" for no old file)\n", stderr);
    return HPATCHI_TOOL_USAGE_ERROR;
  }
  return hpatchi_run(argv[1], argv[2], argv[3]);
}
