/* The memory line of a patch run, from the sizes the plugins report for its prefix. */
#include "patch/hpatchi_memory.h"

#include <string.h>

#include "patch/decompress/lzma_plugin.h"
#include "patch/decompress/tuz_decoder.h"
#include "patch/decompress/zlib_plugin.h"
#include "patch/decompress/lzma2_plugin.h"
#include "patch/hpatch_lite.h"

/* The plugins' records, used here only for their size steps, which allocate nothing. */
typedef union hpatchi_TSizingRecord {
  _zlib_TStream zlib;
  _lzma_TStream lzma;
  _lzma2_TStream lzma2;
} hpatchi_TSizingRecord;

int hpatchi_memory_need(void* diffHandle, hl_read_fn readDiff, uint32_t cacheSize, hpatchi_TMemoryNeed* need) {
  hpatchi_TSizingRecord record;
  uint32_t uncompressSize = 0;
  uint32_t inputSize;
  uint32_t patchSize;
  hl_bool sized = hl_FALSE;

  memset(need, 0, sizeof(*need));
  if (!hpatch_lite_open(diffHandle, readDiff, &need->compress_type, &need->newSize, &uncompressSize)) {
    return HPATCHI_HEADER_ERROR;
  }
  /* The same split of the cache as hpatchi_patch makes. */
  inputSize = hpatchi_input_cache_size(cacheSize);
  patchSize = hpatchi_patch_cache_size(cacheSize, hl_TRUE);
  need->cacheSize = (uint64_t)inputSize + patchSize;

  memset(&record, 0, sizeof(record));
  switch (need->compress_type) {
    case HPATCH_LITE_COMPRESS_NONE:
      need->cacheSize = hpatchi_patch_cache_size(cacheSize, hl_FALSE);
      sized = hl_TRUE;
      break;
    case HPATCH_LITE_COMPRESS_TUZ:
      need->mustSize = tuz_TStream_read_dict_size(diffHandle, readDiff);
      sized = need->mustSize >= 1 && need->mustSize <= TUZ_DICT_SIZE_MAX;
      break;
    case HPATCH_LITE_COMPRESS_ZLIB:
      sized = _zlib_TStream_getReservedMemSize(&record.zlib, diffHandle, readDiff, uncompressSize, &need->mustSize);
      break;
    case HPATCH_LITE_COMPRESS_LZMA:
      sized = _lzma_TStream_getReservedMemSize(&record.lzma, diffHandle, readDiff, uncompressSize, &need->mustSize);
      break;
    case HPATCH_LITE_COMPRESS_LZMA2:
      sized = _lzma2_TStream_getReservedMemSize(&record.lzma2, diffHandle, readDiff, uncompressSize, &need->mustSize);
      break;
    default:
      return HPATCHI_COMPRESS_TYPE_ERROR;
  }
  if (!sized) {
    return HPATCHI_DECOMPRESSER_INFO_ERROR;
  }
  need->total = need->mustSize + need->cacheSize;
  return HPATCHI_OK;
}
