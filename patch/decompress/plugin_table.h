/* The decompressor plugins, one entry per compress type: what the driver and the memory check set
 * up, and what the plugin tests run. */
#ifndef PLUGIN_TABLE_H
#define PLUGIN_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include "patch/decompress/lzma2_plugin.h"
#include "patch/decompress/lzma_plugin.h"
#include "patch/decompress/tuz_decoder.h"
#include "patch/decompress/zlib_plugin.h"
#include "patch/hl_types.h"
#include "patch/hpatch_lite_format.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Room for the record of any plugin. */
typedef union hl_TPluginState {
  tuz_TStream tuz;
  _zlib_TStream zlib;
  _lzma_TStream lzma;
  _lzma2_TStream lzma2;
} hl_TPluginState;

/* One decompressor. Its record (an hl_TPluginState, which holds every plugin's) goes through size,
 * then open, any number of reads and close; close is due once open was called, whatever it
 * returned, and harmless after size alone (the size steps allocate nothing). Each error line is
 * what the driver prints when that step fails. */
typedef struct hl_TPlugin {
  const char* name; /* as the driver's trace names it */
  /* Reads the plugin's prefix through readInput and gives the memory M it needs. */
  hl_bool (*size)(void* state, void* inputHandle, hl_read_fn readInput, uint32_t uncompressSize,
                  uint64_t* memSize);
  /* memory: memSize bytes for the decompressor, followed by cacheSize bytes of input cache. */
  hl_bool (*open)(void* state, hl_byte* memory, uint64_t memSize, uint32_t cacheSize);
  hl_read_fn read;               /* the body reader; its handle is the record */
  hl_bool (*close)(void* state); /* false only when ending the decompressor failed */
  const char* sizeErrorLine;
  const char* openErrorLine;
  const char* closeErrorLine;
} hl_TPlugin;

/* The plugin that compress_type names; null for HPATCH_LITE_COMPRESS_NONE, whose body is read as
 * it stands, and for unknown types. */
const hl_TPlugin* hl_plugin_for(uint32_t compress_type);

#ifdef __cplusplus
}
#endif

#endif
