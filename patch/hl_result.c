#include "patch/hl_result.h"

#include <stddef.h>

/* hpatchi --help lists these words, so a change here changes the program's help. */
const char* hl_result_text(int code) {
  switch (code) {
    case HPATCHI_OK:
      return "NEW was written";
    case HPATCHI_TOOL_USAGE_ERROR:
      return "wrong arguments";
    case HPATCHI_OPEN_READ_ERROR:
      return "OLD or PATCH cannot be opened";
    case HPATCHI_OPEN_WRITE_ERROR:
      return "NEW cannot be opened";
    case HPATCHI_OLD_READ_ERROR:
      return "OLD cannot be read (also when it is shorter than the patch needs)";
    case HPATCHI_WRITE_ERROR:
      return "NEW cannot be written in full";
    case HPATCHI_CLOSE_ERROR:
      return "a file cannot be closed";
    case HPATCHI_ALLOC_ERROR:
      return "not enough memory";
    case HPATCHI_COMPRESS_TYPE_ERROR:
      return "unknown compression";
    case HPATCHI_DECOMPRESSER_INFO_ERROR:
      return "invalid decompressor settings";
    case HPATCHI_DECOMPRESSER_OPEN_ERROR:
      return "the decompressor cannot start";
    case HPATCHI_DECOMPRESSER_CLOSE_ERROR:
      return "the zlib decompressor cannot end";
    case HPATCHI_HEADER_ERROR:
      return "not a patch (invalid header)";
    case HPATCHI_PATCH_ERROR:
      return "the patch failed otherwise (a damaged body, or old bytes asked for with no old "
             "file)";
    case HPATCHI_PATCH_ENDED:
      return "PATCH ended before the patch did";
    case HPATCHI_PATCH_READ_ERROR:
      return "PATCH cannot be read";
    default:
      return NULL;
  }
}
