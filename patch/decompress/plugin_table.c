/* The plugin table, with the adapters that give every plugin the same four operations. */
#include "patch/decompress/plugin_table.h"

#include <string.h>

/* tuz keeps the reader and the dictionary size from its size step for the open step. */
static hl_bool hl_plugin_tuz_size(void* state, void* inputHandle, hl_read_fn readInput,
                                  uint32_t uncompressSize, uint64_t* memSize) {
  tuz_TStream* stream = (tuz_TStream*)state;
  uint32_t dictSize;
  (void)uncompressSize;
  memset(stream, 0, sizeof(*stream));
  stream->inputHandle = inputHandle;
  stream->readInput = readInput;
  dictSize = tuz_TStream_read_dict_size(inputHandle, readInput);
  stream->dictSize = dictSize;
  *memSize = dictSize;
  return dictSize >= 1 && dictSize <= TUZ_DICT_SIZE_MAX;
}

static hl_bool hl_plugin_tuz_open(void* state, hl_byte* memory, uint64_t memSize,
                                  uint32_t cacheSize) {
  tuz_TStream* stream = (tuz_TStream*)state;
  (void)memSize; /* the dictionary size, kept in the record */
  return tuz_TStream_open(stream, stream->inputHandle, stream->readInput, memory, stream->dictSize,
                          cacheSize) == TUZ_OK;
}

/* tuz holds nothing that needs ending. */
static hl_bool hl_plugin_tuz_close(void* state) {
  (void)state;
  return hl_TRUE;
}

static hl_bool hl_plugin_zlib_size(void* state, void* inputHandle, hl_read_fn readInput,
                                   uint32_t uncompressSize, uint64_t* memSize) {
  return _zlib_TStream_getReservedMemSize((_zlib_TStream*)state, inputHandle, readInput,
                                          uncompressSize, memSize);
}

static hl_bool hl_plugin_zlib_open(void* state, hl_byte* memory, uint64_t memSize,
                                   uint32_t cacheSize) {
  return _zlib_TStream_open((_zlib_TStream*)state, memory, memSize, cacheSize);
}

static hl_bool hl_plugin_zlib_close(void* state) {
  return _zlib_TStream_close((_zlib_TStream*)state);
}

static hl_bool hl_plugin_lzma_size(void* state, void* inputHandle, hl_read_fn readInput,
                                   uint32_t uncompressSize, uint64_t* memSize) {
  return _lzma_TStream_getReservedMemSize((_lzma_TStream*)state, inputHandle, readInput,
                                          uncompressSize, memSize);
}

static hl_bool hl_plugin_lzma_open(void* state, hl_byte* memory, uint64_t memSize,
                                   uint32_t cacheSize) {
  return _lzma_TStream_open((_lzma_TStream*)state, memory, memSize, cacheSize);
}

static hl_bool hl_plugin_lzma_close(void* state) {
  _lzma_TStream_close((_lzma_TStream*)state);
  return hl_TRUE;
}

static hl_bool hl_plugin_lzma2_size(void* state, void* inputHandle, hl_read_fn readInput,
                                    uint32_t uncompressSize, uint64_t* memSize) {
  return _lzma2_TStream_getReservedMemSize((_lzma2_TStream*)state, inputHandle, readInput,
                                           uncompressSize, memSize);
}

static hl_bool hl_plugin_lzma2_open(void* state, hl_byte* memory, uint64_t memSize,
                                    uint32_t cacheSize) {
  return _lzma2_TStream_open((_lzma2_TStream*)state, memory, memSize, cacheSize);
}

static hl_bool hl_plugin_lzma2_close(void* state) {
  _lzma2_TStream_close((_lzma2_TStream*)state);
  return hl_TRUE;
}

static const hl_TPlugin hl_plugins[HPATCH_LITE_COMPRESS_TYPE_COUNT] = {
    [HPATCH_LITE_COMPRESS_TUZ] = {"tuz", hl_plugin_tuz_size, hl_plugin_tuz_open, tuz_TStream_read,
                                  hl_plugin_tuz_close,
                                  "tuz_TStream_read_dict_size() dict size ERROR!\n",
                                  "tuz_TStream_open() ERROR!\n", ""},
    [HPATCH_LITE_COMPRESS_ZLIB] = {"zlib", hl_plugin_zlib_size, hl_plugin_zlib_open,
                                   _zlib_TStream_read, hl_plugin_zlib_close,
                                   "_zlib_TStream_getReservedMemSize() ERROR!\n",
                                   "_zlib_TStream_open() ERROR!\n",
                                   "_zlib_TStream_close() ERROR!\n"},
    [HPATCH_LITE_COMPRESS_LZMA] = {"lzma", hl_plugin_lzma_size, hl_plugin_lzma_open,
                                   _lzma_TStream_read, hl_plugin_lzma_close,
                                   "_lzma_TStream_getReservedMemSize() ERROR!\n",
                                   "_lzma_TStream_open() ERROR!\n", ""},
    [HPATCH_LITE_COMPRESS_LZMA2] = {"lzma2", hl_plugin_lzma2_size, hl_plugin_lzma2_open,
                                    _lzma2_TStream_read, hl_plugin_lzma2_close,
                                    "_lzma2_TStream_getReservedMemSize() ERROR!\n",
                                    "_lzma2_TStream_open() ERROR!\n", ""},
};

const hl_TPlugin* hl_plugin_for(uint32_t compress_type) {
  if (compress_type >= HPATCH_LITE_COMPRESS_TYPE_COUNT || hl_plugins[compress_type].name == NULL) {
    return NULL;
  }
  return &hl_plugins[compress_type];
}
