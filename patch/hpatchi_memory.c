/* The memory line of a patch run, from the sizes the plugins report for its prefix. */
#include "patch/hpatchi_memory.h"

#include <string.h>

#include "patch/decompress/plugin_table.h"
#include "patch/file_stream.h"
#include "patch/hpatch_lite.h"
#include "patch/hpatchi_plan.h"

/* A reader that counts what it delivers: the header's length is what hpatch_lite_open read. */
typedef struct hpatchi_TCountingReader {
  void* handle;
  hl_read_fn read;
  uint32_t delivered;
} hpatchi_TCountingReader;

static hl_bool hpatchi_read_counting(void* handle, hl_byte* buf, uint32_t* count) {
  hpatchi_TCountingReader* reader = (hpatchi_TCountingReader*)handle;
  const hl_bool read = reader->read(reader->handle, buf, count);
  reader->delivered += *count;
  return read;
}

int hpatchi_memory_need(void* diffHandle, hl_read_fn readDiff, uint32_t cacheSize,
                        hpatchi_TMemoryNeed* need) {
  /* Used only for the size step, which allocates nothing, so the record needs no close. */
  hl_TPluginState record;
  const hl_TPlugin* plugin;
  uint32_t uncompressSize = 0;
  hpatchi_TCountingReader header;

  memset(need, 0, sizeof(*need));
  header.handle = diffHandle;
  header.read = readDiff;
  header.delivered = 0;
  if (!hpatch_lite_open(&header, hpatchi_read_counting, &need->compress_type, &need->newSize,
                        &uncompressSize)) {
    return HPATCHI_HEADER_ERROR;
  }
  need->uncompressSize = uncompressSize;
  need->headerSize = header.delivered;
  /* The same split of the cache as hpatchi_patch makes. */
  need->inputSize = hpatchi_input_cache_size(cacheSize);
  need->cacheSize = (uint64_t)need->inputSize + hpatchi_patch_cache_size(cacheSize, hl_TRUE);
  plugin = hl_plugin_for(need->compress_type);
  if (plugin != NULL) {
    memset(&record, 0, sizeof(record));
    if (!plugin->size(&record, diffHandle, readDiff, uncompressSize, &need->mustSize)) {
      return HPATCHI_DECOMPRESSER_INFO_ERROR;
    }
  } else if (need->compress_type == HPATCH_LITE_COMPRESS_NONE) {
    need->inputSize = 0;
    need->cacheSize = hpatchi_patch_cache_size(cacheSize, hl_FALSE);
  } else {
    return HPATCHI_COMPRESS_TYPE_ERROR;
  }
  need->total = need->mustSize + need->cacheSize;
  return HPATCHI_OK;
}

uint64_t hpatchi_run_block_size(const hpatchi_TMemoryNeed* need, hl_bool hasOld, uint64_t oldSize,
                                uint64_t patchSize) {
  const hl_bool compressed = hl_plugin_for(need->compress_type) != NULL;
  return hpatchi_plan_block(need->total, hasOld ? file_in_window_size(oldSize) : 0,
                            compressed ? hpatchi_read_ahead_size(patchSize, need->inputSize) : 0)
      .total;
}
