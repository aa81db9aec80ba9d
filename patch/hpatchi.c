/* The patch driver: files, header, decompressor set-up in one memory block, trace and result. */
#include "patch/hpatchi.h"
#include "patch/hpatchi_core.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "patch/decompress/plugin_table.h"
#include "patch/hl_platform.h"
#include "patch/hpatchi_plan.h"

#define HPATCHI_MEMORY_LINE "  requirements memory size: (must) %" PRIu64 " + (cache) %" PRIu64 "\n"

/* The trace and the error lines go to the caller's streams; either may be null for none. */
static void hpatchi_trace(const hpatchi_TOutput* output, const char* format, ...) {
  va_list args;
  if (output->trace == NULL) {
    return;
  }
  va_start(args, format);
  vfprintf(output->trace, format, args);
  va_end(args);
}

/* The trace is flushed first, so that a terminal showing both streams shows them in order. */
static void hpatchi_error(const hpatchi_TOutput* output, const char* format, ...) {
  va_list args;
  if (output->trace != NULL) {
    fflush(output->trace);
  }
  if (output->errors == NULL) {
    return;
  }
  va_start(args, format);
  vfprintf(output->errors, format, args);
  va_end(args);
}

static void hpatchi_print_path(const hpatchi_TOutput* output, const char* path) {
  if (output->trace != NULL) {
    hl_platform_print_path(output->trace, path);
  }
}

/* The driver's listener: a PatchListener followed by what its operations need. */
typedef struct TPatchiListener {
  PatchListener base;
  uint32_t errorCode;        /* 0, or HPATCHI_WRITE_ERROR after a short write */
  TFileInStream* oldStream;  /* readOld reads through its read operation */
  TFileOutStream* newStream; /* the new bytes go into its buffer */
  PatchOldSpans oldSpans;    /* the old file window's run blocks, for the patch algorithm */
} TPatchiListener;

_Static_assert(HPATCH_LITE_OLD_SPANS == FILE_IN_WINDOW_RUNS, "a span for each run block");
_Static_assert(HPATCH_LITE_OLD_RECENT >= FILE_IN_WINDOW_TRACKS,
               "the spans keep the ends the window watches");

/* The patch file read on from a position with positioned reads, which leave stdio's buffer alone:
 * a compressed body is read in requests of the decompressor's input cache. A large patch is read
 * ahead in longer pieces, which the requests are then served from: a request of the input cache
 * per system call would be most of the calls of a large run. Like fread, it delivers less at the
 * end of the file. */
typedef struct hpatchi_TPatchReader {
  TFileInStream* stream;
  uint64_t position;
  hl_byte* ahead;     /* the read-ahead memory, or null: each request is read by itself */
  uint32_t aheadSize; /* its size */
  uint32_t aheadHeld; /* bytes of the file it holds, from aheadAt on */
  uint64_t aheadAt;
  /* What the reads met, for the cause of a failed run: a request the file's end cut short, and a
   * read that failed. */
  hl_bool ended;
  hl_bool failed;
} hpatchi_TPatchReader;

/* The raw reader over the patch file: reads on from wherever the stdio handle stands. */
static hl_bool hpatchi_read_raw(void* handle, hl_byte* buf, uint32_t* count) {
  hpatchi_TPatchReader* reader = (hpatchi_TPatchReader*)handle;
  FILE* file = reader->stream->base.file;
  uint32_t wanted = *count;
  *count = (uint32_t)fread(buf, 1, wanted, file);
  if (*count < wanted) {
    if (ferror(file)) {
      reader->failed = hl_TRUE;
      return *count > 0;
    }
    reader->ended = hl_TRUE;
  }
  return hl_TRUE;
}

/* Reads [position, position + count) of the patch through the read-ahead. */
static hl_bool hpatchi_read_patch_ahead(hpatchi_TPatchReader* reader, hl_byte* buf,
                                        uint32_t count) {
  const TFileStreamHead* head = &reader->stream->base.head;
  uint64_t position = reader->position;
  while (count > 0) {
    uint64_t offset = position - reader->aheadAt;
    uint32_t n;
    if (position < reader->aheadAt || offset >= reader->aheadHeld) {
      uint64_t left = head->streamSize - position;
      uint32_t fill = left < reader->aheadSize ? (uint32_t)left : reader->aheadSize;
      reader->aheadHeld = 0;
      if (!head->read(head, position, reader->ahead, reader->ahead + fill)) {
        return hl_FALSE;
      }
      reader->aheadAt = position;
      reader->aheadHeld = fill;
      offset = 0;
    }
    n = reader->aheadHeld - (uint32_t)offset;
    if (n > count) {
      n = count;
    }
    memcpy(buf, reader->ahead + offset, n);
    buf += n;
    position += n;
    count -= n;
  }
  return hl_TRUE;
}

static hl_bool hpatchi_read_patch(void* handle, hl_byte* buf, uint32_t* count) {
  hpatchi_TPatchReader* reader = (hpatchi_TPatchReader*)handle;
  const TFileStreamHead* head = &reader->stream->base.head;
  uint64_t left = head->streamSize - reader->position;
  hl_bool read;
  if (*count > left) {
    *count = (uint32_t)left;
    reader->ended = hl_TRUE;
  }
  read = reader->ahead != NULL ? hpatchi_read_patch_ahead(reader, buf, *count)
                               : head->read(head, reader->position, buf, buf + *count);
  if (!read) {
    *count = 0;
    reader->failed = hl_TRUE;
    return hl_FALSE;
  }
  reader->position += *count;
  return hl_TRUE;
}

static hl_bool hpatchi_read_old(PatchListener* listener, uint32_t oldPos, hl_byte* data,
                                uint32_t size) {
  const TFileStreamHead* head = &((TPatchiListener*)listener)->oldStream->base.head;
  return head->read(head, oldPos, data, data + size);
}

/* After each lend the spans show the run blocks again: a lend may have loaded one. */
static const hl_byte* hpatchi_lend_old(PatchListener* listener, uint32_t oldPos, hl_byte* data,
                                       uint32_t size) {
  TPatchiListener* self = (TPatchiListener*)listener;
  const hl_byte* at = file_in_stream_lend(&self->oldStream->base.head, oldPos, data, data + size);
  file_in_stream_run_blocks(self->oldStream, self->oldSpans.bytes, self->oldSpans.position,
                            self->oldSpans.length);
  return at;
}

/* The ranges the patch algorithm took from the run blocks, told to the window as lends. */
static void hpatchi_took_old(PatchListener* listener) {
  TPatchiListener* self = (TPatchiListener*)listener;
  const PatchOldSpans* spans = &self->oldSpans;
  uint64_t ends[FILE_IN_WINDOW_TRACKS];
  uint32_t kept = spans->taken < FILE_IN_WINDOW_TRACKS ? spans->taken : FILE_IN_WINDOW_TRACKS;
  uint32_t i;
  for (i = 0; i < kept; ++i) {
    ends[i] = spans->recentEnds[(spans->taken - kept + i) % HPATCH_LITE_OLD_RECENT];
  }
  file_in_stream_took(self->oldStream, spans->taken, ends, spans->lastTaken);
}

/* The new file's bytes go into its stream's buffer, which is written out whole when full; a
 * failed write is a short write. The patch algorithm makes most bytes right in that buffer. */
static hl_bool hpatchi_commit_new(PatchListener* listener, uint32_t size) {
  TPatchiListener* self = (TPatchiListener*)listener;
  if (!file_out_stream_commit(self->newStream, size)) {
    self->errorCode = HPATCHI_WRITE_ERROR;
    return hl_FALSE;
  }
  return hl_TRUE;
}

static hl_byte* hpatchi_new_space(PatchListener* listener, uint32_t* size) {
  return file_out_stream_space(((TPatchiListener*)listener)->newStream, size);
}

/* Puts the patch file's stdio handle at position, where the reads on go on. False when it cannot
 * be put there; the positioned reads then go on instead. */
static hl_bool hpatchi_seek_patch(TFileInStream* stream, uint64_t position) {
  return position <= (uint64_t)INT64_MAX && hl_platform_seek(stream->base.file, position) == 0;
}

/* The old file of a patch without one: nothing can be read from it, and that is no stream error. */
static hl_bool hpatchi_read_empty_old(const TFileStreamHead* head, uint64_t position,
                                      hl_byte* start, hl_byte* end) {
  (void)head;
  return start == end && position == 0;
}

/* ---- hpatchi_patch ---- */

/* What one patch run sets up, so that every exit path releases the same things. */
typedef struct hpatchi_TSetup {
  const hpatchi_TOutput* output;
  hl_TPluginState state;    /* the record of the plugin in use */
  const hl_TPlugin* plugin; /* null for an uncompressed body */
  hl_bool sized;            /* the size step was attempted, so close is due */
  hl_byte* block;           /* the one memory block */
  uint64_t mustSize;        /* M */
  uint32_t inputSize;       /* I */
  uint32_t patchSize;       /* P */
  TFileInStream* oldStream; /* the old file, which gets a read window in the block; or null */
  hpatchi_TPatchReader*
      patchReader; /* the patch's reader, which may get a read-ahead there; or null */
} hpatchi_TSetup;

static void hpatchi_print_decompresser(const hpatchi_TOutput* output, const char* name) {
  hpatchi_trace(output, "hpatchi run with decompresser: \"%s\"\n", name);
}

/* Allocates M + I + P (and the old file's read window and the patch's read-ahead), or reports why
 * not. Sizes that do not fit the address space fail too. */
static int hpatchi_alloc(hpatchi_TSetup* setup, uint64_t cachesEnd) {
  uint32_t aheadSize = 0;
  hpatchi_TBlockPlan plan;
  uint64_t total;
  if (setup->patchReader != NULL) {
    aheadSize =
        hpatchi_read_ahead_size(setup->patchReader->stream->base.head.streamSize, setup->inputSize);
  }
  plan = hpatchi_plan_block(
      cachesEnd, setup->oldStream != NULL ? file_in_stream_window_size(setup->oldStream) : 0,
      aheadSize);
  total = plan.total;
  /* Zeroed memory, which a large block gets from the system untouched: the window needs its tags
   * zeroed, and memory that no step of the run uses then costs nothing. */
  if (total <= (uint64_t)SIZE_MAX) {
    setup->block = (hl_byte*)calloc(1, (size_t)total);
  }
  if (setup->block == NULL) {
    hpatchi_error(setup->output, "alloc cache memory ERROR!\n");
    return HPATCHI_ALLOC_ERROR;
  }
  if (setup->oldStream != NULL) {
    file_in_stream_set_zeroed_window(setup->oldStream, setup->block + plan.windowAt);
  }
  if (aheadSize != 0) {
    setup->patchReader->ahead = setup->block + plan.aheadAt;
    setup->patchReader->aheadSize = aheadSize;
    setup->patchReader->aheadHeld = 0;
  }
  return HPATCHI_OK;
}

/* The plugin's size step, the block for M + I + P and the plugin's open step. */
static int hpatchi_setup_plugin(hpatchi_TSetup* setup, void* rawHandle, hl_read_fn rawRead,
                                uint32_t uncompressSize) {
  const hl_TPlugin* plugin = setup->plugin;
  uint64_t cache;
  hl_bool sized;
  int code;
  setup->sized = hl_TRUE;
  sized = plugin->size(&setup->state, rawHandle, rawRead, uncompressSize, &setup->mustSize);
  hpatchi_print_decompresser(setup->output, plugin->name);
  if (!sized) {
    hpatchi_error(setup->output, "%s", plugin->sizeErrorLine);
    return HPATCHI_DECOMPRESSER_INFO_ERROR;
  }
  cache = (uint64_t)setup->inputSize + setup->patchSize;
  hpatchi_trace(setup->output, HPATCHI_MEMORY_LINE, setup->mustSize, cache);
  code = hpatchi_alloc(setup, setup->mustSize + cache);
  if (code != HPATCHI_OK) {
    return code;
  }
  if (!plugin->open(&setup->state, setup->block, setup->mustSize, setup->inputSize)) {
    hpatchi_error(setup->output, "%s", plugin->openErrorLine);
    return HPATCHI_DECOMPRESSER_OPEN_ERROR;
  }
  return HPATCHI_OK;
}

/* Close is due once the size step was attempted; only the zlib close can fail. */
static int hpatchi_close_plugin(hpatchi_TSetup* setup, int code) {
  if (!setup->sized || setup->plugin->close(&setup->state)) {
    return code;
  }
  hpatchi_error(setup->output, "%s", setup->plugin->closeErrorLine);
  return code == HPATCHI_OK ? HPATCHI_DECOMPRESSER_CLOSE_ERROR : code;
}

/* hpatchi_patch, with the old file's stream (or null) to be given a read window in the block, and
 * the reader of a compressed body's patch file (or null) to be given a read-ahead there. */
static int hpatchi_patch_reading(const hpatchi_TOutput* output, PatchListener* listener,
                                 uint32_t compress_type, uint32_t newSize, uint32_t uncompressSize,
                                 uint32_t cacheSize, TFileInStream* oldStream,
                                 hpatchi_TPatchReader* patchReader) {
  hpatchi_TSetup setup;
  void* rawHandle = listener->diffHandle;
  hl_read_fn rawRead = listener->readDiff;
  hl_byte* patchCache = NULL;
  int code;

  memset(&setup, 0, sizeof(setup));
  setup.output = output;
  setup.plugin = hl_plugin_for(compress_type);
  setup.oldStream = oldStream;
  setup.patchReader = setup.plugin != NULL ? patchReader : NULL;
  setup.inputSize = hpatchi_input_cache_size(cacheSize);
  /* A cache too small for even the input part leaves nothing for the patch; it then fails. */
  setup.patchSize = hpatchi_patch_cache_size(cacheSize, hl_TRUE);

  if (setup.plugin != NULL) {
    code = hpatchi_setup_plugin(&setup, rawHandle, rawRead, uncompressSize);
  } else if (compress_type == HPATCH_LITE_COMPRESS_NONE) {
    hpatchi_print_decompresser(output, "");
    hpatchi_trace(output, HPATCHI_MEMORY_LINE, (uint64_t)0, (uint64_t)cacheSize);
    code = hpatchi_alloc(&setup, cacheSize);
    setup.inputSize = 0;
    setup.patchSize = hpatchi_patch_cache_size(cacheSize, hl_FALSE);
  } else {
    hpatchi_error(output, "unknow compress_type \"%d\" ERROR!\n", (int)compress_type);
    hpatchi_error(output, "diff info ERROR!\n");
    code = HPATCHI_COMPRESS_TYPE_ERROR;
  }

  if (code == HPATCHI_OK) {
    if (setup.plugin != NULL) {
      listener->diffHandle = &setup.state;
      listener->readDiff = setup.plugin->read;
    }
    patchCache = setup.block + setup.mustSize + setup.inputSize;
    if (!hpatch_lite_patch(listener, newSize, patchCache, setup.patchSize)) {
      hpatchi_error(output, "hpatch_lite_patch() run ERROR!\n");
      code = HPATCHI_PATCH_ERROR;
    }
  }
  code = hpatchi_close_plugin(&setup, code);
  if (oldStream != NULL) {
    file_in_stream_set_window(oldStream, NULL);
  }
  if (setup.patchReader != NULL) {
    setup.patchReader->ahead = NULL;
  }
  free(setup.block);
  /* The plugin record dies with this frame; leave the caller's reader usable. */
  listener->diffHandle = rawHandle;
  listener->readDiff = rawRead;
  return code;
}

int hpatchi_patch_to(const hpatchi_TOutput* output, PatchListener* listener, uint32_t compress_type,
                     uint32_t newSize, uint32_t uncompressSize, uint32_t cacheSize) {
  return hpatchi_patch_reading(output, listener, compress_type, newSize, uncompressSize, cacheSize,
                               NULL, NULL);
}

int hpatchi_patch(PatchListener* listener, uint32_t compress_type, uint32_t newSize,
                  uint32_t uncompressSize, uint32_t cacheSize) {
  const hpatchi_TOutput output = {stdout, stderr};
  return hpatchi_patch_to(&output, listener, compress_type, newSize, uncompressSize, cacheSize);
}

/* ---- hpatchi_run ---- */

/* The first failure that explains the others decides the result: a short write, then an old-file
 * error, then the patch's own code. */
static int hpatchi_report_patch(const hpatchi_TOutput* output, const TPatchiListener* patchListener,
                                const TFileInStream* oldStream, int patchCode) {
  if (patchCode == HPATCHI_OK) {
    hpatchi_trace(output, "  patch ok!\n");
    return HPATCHI_OK;
  }
  if (patchListener->errorCode != 0) {
    hpatchi_error(output, "patchListener ERROR!\n");
    return (int)patchListener->errorCode;
  }
  if (oldStream->base.fileError != 0) {
    hpatchi_error(output, "oldFile read ERROR!\n");
    return HPATCHI_OLD_READ_ERROR;
  }
  hpatchi_error(output, "hpatchi_patch() run ERROR!\n");
  return patchCode;
}

static int hpatchi_close_stream(const hpatchi_TOutput* output, TFileStream* stream,
                                const char* line, int result) {
  if (!file_stream_close(stream)) {
    hpatchi_error(output, "%s", line);
    if (result == HPATCHI_OK) {
      result = HPATCHI_CLOSE_ERROR;
    }
  }
  return result;
}

/* A run that failed on the patch itself may have failed because its file ended too soon or could
 * not be read; a read error explains more than the end it cut short. */
static int hpatchi_patch_cause(int result, const hpatchi_TPatchReader* reader) {
  if (result != HPATCHI_DECOMPRESSER_INFO_ERROR && result != HPATCHI_HEADER_ERROR &&
      result != HPATCHI_PATCH_ERROR) {
    return HPATCHI_CAUSE_NONE;
  }
  if (reader->failed) {
    return HPATCHI_PATCH_READ_ERROR;
  }
  return reader->ended ? HPATCHI_PATCH_ENDED : HPATCHI_CAUSE_NONE;
}

/* The handle of files that the run has not taken yet, or null; taking it leaves null behind. */
static FILE* hpatchi_take_file(FILE** file) {
  FILE* taken = *file;
  *file = NULL;
  return taken;
}

static void hpatchi_close_untaken(hpatchi_TOpenFiles* files) {
  FILE** each[3];
  size_t i;
  each[0] = &files->oldFile;
  each[1] = &files->diffFile;
  each[2] = &files->newFile;
  for (i = 0; i < 3; ++i) {
    if (*each[i] != NULL) {
      fclose(hpatchi_take_file(each[i]));
    }
  }
}

/* What one run of hpatchi_run_outcome works on, phase after phase. */
typedef struct hpatchi_TRun {
  const hpatchi_TOutput* output;
  TPatchiListener patchListener;
  hpatchi_TPatchReader patchReader;
  TFileInStream oldStream;
  TFileInStream diffStream;
  TFileOutStream newStream;
  uint32_t compress_type;
  uint32_t newSize;
  uint32_t uncompressSize;
  hpatchi_TOpenFiles given; /* the caller's handles that the streams have not taken yet */
  hl_bool hasOld;
} hpatchi_TRun;

static void hpatchi_start_run(hpatchi_TRun* run, const hpatchi_TOutput* output,
                              const hpatchi_TOpenFiles* files, const char* oldPath) {
  run->output = output;
  run->compress_type = 0;
  run->newSize = 0;
  run->uncompressSize = 0;
  run->given.oldFile = NULL;
  run->given.diffFile = NULL;
  run->given.newFile = NULL;
  if (files != NULL) {
    run->given = *files;
  }
  run->hasOld = run->given.oldFile != NULL || (oldPath != NULL && oldPath[0] != '\0');

  memset(&run->patchListener, 0, sizeof(run->patchListener));
  memset(&run->patchReader, 0, sizeof(run->patchReader));
  run->patchReader.stream = &run->diffStream;
  /* Their stdio buffers are left alone: what stdio never fills is never paged in. */
  file_in_stream_clear(&run->oldStream);
  file_in_stream_clear(&run->diffStream);
  file_out_stream_clear(&run->newStream);
}

static void hpatchi_trace_paths(const hpatchi_TOutput* output, const char* oldPath,
                                const char* diffPath, const char* outPath) {
  hpatchi_trace(output, "old : \"");
  if (oldPath != NULL) {
    hpatchi_print_path(output, oldPath);
  }
  hpatchi_trace(output, "\"\ndiff: \"");
  if (diffPath != NULL) {
    hpatchi_print_path(output, diffPath);
  }
  hpatchi_trace(output, "\"\nout : \"");
  if (outPath != NULL) {
    hpatchi_print_path(output, outPath);
  }
  hpatchi_trace(output, "\"\n");
}

/* The old file (or the empty one of a patch without it) and the patch file. */
static int hpatchi_open_inputs(hpatchi_TRun* run, const char* oldPath, const char* diffPath) {
  const hpatchi_TOutput* output = run->output;
  TFileInStream* oldStream = &run->oldStream;
  if (run->hasOld) {
    FILE* oldFile = hpatchi_take_file(&run->given.oldFile);
    if (oldFile != NULL ? !file_in_stream_adopt(oldStream, oldFile)
                        : !file_in_stream_open(oldStream, oldPath)) {
      hpatchi_error(output, "open oldFile for read ERROR!\n");
      return HPATCHI_OPEN_READ_ERROR;
    }
  } else {
    oldStream->base.head.self = oldStream;
    oldStream->base.head.streamSize = 0;
    oldStream->base.head.read = hpatchi_read_empty_old;
  }
  if (run->given.diffFile != NULL
          ? !file_in_stream_adopt(&run->diffStream, hpatchi_take_file(&run->given.diffFile))
          : !file_in_stream_open(&run->diffStream, diffPath)) {
    hpatchi_error(output, "open diffFile for read ERROR!\n");
    return HPATCHI_OPEN_READ_ERROR;
  }
  hpatchi_trace(output, "oldDataSize : %" PRIu64 "\ndiffDataSize: %" PRIu64 "\n",
                oldStream->base.head.streamSize, run->diffStream.base.head.streamSize);
  return HPATCHI_OK;
}

/* The patch header, read here unless the caller has read it already (need), and the reader of
 * the body that follows it. */
static int hpatchi_read_header(hpatchi_TRun* run, const hpatchi_TMemoryNeed* need) {
  PatchListener* listener = &run->patchListener.base;
  listener->diffHandle = &run->patchReader;
  listener->readDiff = hpatchi_read_patch;
  if (need != NULL) {
    run->compress_type = need->compress_type;
    run->newSize = need->newSize;
    run->uncompressSize = need->uncompressSize;
    run->patchReader.position = need->headerSize;
  } else if (!hpatch_lite_open(listener->diffHandle, listener->readDiff, &run->compress_type,
                               &run->newSize, &run->uncompressSize)) {
    hpatchi_error(run->output, "hpatch_lite_open() run ERROR!\n");
    return HPATCHI_HEADER_ERROR;
  }
  /* An uncompressed body is read straight by the patch algorithm, in requests of half its cache:
   * through stdio's buffer, which takes many of them per system call. */
  if (run->compress_type == HPATCH_LITE_COMPRESS_NONE &&
      hpatchi_seek_patch(&run->diffStream, run->patchReader.position)) {
    listener->readDiff = hpatchi_read_raw;
  }
  hpatchi_trace(run->output, "newDataSize : %" PRIu64 "\n", (uint64_t)run->newSize);
  return HPATCHI_OK;
}

/* Creating the new file truncates it: never when it is the old file or the patch itself. A new
 * file the caller opened is its own. */
static int hpatchi_open_new(hpatchi_TRun* run, const char* outPath) {
  if (run->given.newFile != NULL
          ? !file_out_stream_adopt(&run->newStream, hpatchi_take_file(&run->given.newFile),
                                   run->newSize)
          : (run->hasOld && file_stream_names_same_file(&run->oldStream.base, outPath)) ||
                file_stream_names_same_file(&run->diffStream.base, outPath) ||
                !file_out_stream_open(&run->newStream, outPath, run->newSize)) {
    hpatchi_error(run->output, "open out newFile for write ERROR!\n");
    return HPATCHI_OPEN_WRITE_ERROR;
  }
  return HPATCHI_OK;
}

/* The listener over the three streams, and the patch through it. */
static int hpatchi_apply(hpatchi_TRun* run) {
  TPatchiListener* patchListener = &run->patchListener;
  hl_bool hasOld = run->hasOld;
  patchListener->base.readOld = hpatchi_read_old;
  /* The old file's bytes are added to or written straight from its read window. */
  patchListener->base.lendOld = hasOld ? hpatchi_lend_old : NULL;
  patchListener->base.oldSpans = hasOld ? &patchListener->oldSpans : NULL;
  patchListener->base.tookOld = hasOld ? hpatchi_took_old : NULL;
  /* New bytes go through newSpace and commitNew only. */
  patchListener->base.writeNew = NULL;
  patchListener->oldStream = &run->oldStream;
  patchListener->newStream = &run->newStream;
  patchListener->base.newSpace = hpatchi_new_space;
  patchListener->base.commitNew = hpatchi_commit_new;

  return hpatchi_report_patch(
      run->output, patchListener, &run->oldStream,
      hpatchi_patch_reading(run->output, &patchListener->base, run->compress_type, run->newSize,
                            run->uncompressSize, HPATCHI_CACHE_SIZE,
                            hasOld ? &run->oldStream : NULL, &run->patchReader));
}

/* Closes what the run opened or was given; a failed close counts only when nothing else failed. */
static hpatchi_TOutcome hpatchi_finish_run(hpatchi_TRun* run, int result) {
  const hpatchi_TOutput* output = run->output;
  hpatchi_TOutcome outcome;
  hpatchi_close_untaken(&run->given);
  outcome.cause = hpatchi_patch_cause(result, &run->patchReader);
  result = hpatchi_close_stream(output, &run->newStream.base, "out newFile close ERROR!\n", result);
  result = hpatchi_close_stream(output, &run->diffStream.base, "diffFile close ERROR!\n", result);
  outcome.code =
      hpatchi_close_stream(output, &run->oldStream.base, "oldFile close ERROR!\n", result);
  return outcome;
}

/* hpatchi_run_outcome, reading the header itself when need is null, else taking it from there. */
static hpatchi_TOutcome hpatchi_run_files(const hpatchi_TOutput* output,
                                          const hpatchi_TOpenFiles* files,
                                          const hpatchi_TMemoryNeed* need, const char* oldPath,
                                          const char* diffPath, const char* outPath) {
  double startTime = hl_platform_clock_seconds();
  hpatchi_TRun run;
  hpatchi_TOutcome outcome;
  int result;

  hpatchi_start_run(&run, output, files, oldPath);
  hpatchi_trace_paths(output, oldPath, diffPath, outPath);
  result = hpatchi_open_inputs(&run, oldPath, diffPath);
  if (result == HPATCHI_OK) {
    result = hpatchi_read_header(&run, need);
  }
  if (result == HPATCHI_OK) {
    result = hpatchi_open_new(&run, outPath);
  }
  if (result == HPATCHI_OK) {
    result = hpatchi_apply(&run);
  }
  outcome = hpatchi_finish_run(&run, result);

  hpatchi_trace(output, "\nhpatchi time: %.3f s\n", hl_platform_clock_seconds() - startTime);
  if (output->trace != NULL) {
    fflush(output->trace);
  }
  return outcome;
}

hpatchi_TOutcome hpatchi_run_outcome(const hpatchi_TOutput* output, const hpatchi_TOpenFiles* files,
                                     const char* oldPath, const char* diffPath,
                                     const char* outPath) {
  return hpatchi_run_files(output, files, NULL, oldPath, diffPath, outPath);
}

hpatchi_TOutcome hpatchi_run_after_header(const hpatchi_TOutput* output,
                                          const hpatchi_TOpenFiles* files,
                                          const hpatchi_TMemoryNeed* need, const char* oldPath,
                                          const char* diffPath, const char* outPath) {
  return hpatchi_run_files(output, files, need, oldPath, diffPath, outPath);
}

int hpatchi_run_to(const hpatchi_TOutput* output, const char* oldPath, const char* diffPath,
                   const char* outPath) {
  return hpatchi_run_outcome(output, NULL, oldPath, diffPath, outPath).code;
}

int hpatchi_run(const char* oldPath, const char* diffPath, const char* outPath) {
  const hpatchi_TOutput output = {stdout, stderr};
  return hpatchi_run_to(&output, oldPath, diffPath, outPath);
}
