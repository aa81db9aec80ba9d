// Decodes the body of a patch file alone: the decompressor that the patch names, set up by the
// patch driver exactly as for applying it, is asked for the whole body in requests of the patch
// cache's input half. No old file is read. With OUT the decoded bytes are written there through
// stdio with the buffer of hpatchi's new file, so that both programs pay for their output in the
// same sink; without it they go nowhere. The patch file is read as hpatchi reads it (positioned
// reads for the header and a compressed body, stdio with hpatchi's buffer for an uncompressed
// one), and the program needs no more of the C++ runtime than hpatchi does (no libstdc++), so
// both start alike. The process's time is the floor that applying the same patch can approach.
//
//   decode_body PATCH [OUT]   prints the bytes read past the first request; exits 0 when the
//                             body was decoded (and written)
#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "patch/file_stream.h"
#include "patch/hpatch_lite.h"
#include "patch/hpatchi.h"

namespace {

// What the patch algorithm asks of a compressed body at once.
const uint32_t kRequest = hpatchi_body_refill_size(HPATCHI_CACHE_SIZE, 1);

TFileInStream patchStream;
char outBuffer[FILE_OUT_STREAM_BUFFER_SIZE];
hl_byte request[HPATCHI_CACHE_SIZE];

struct Drain {
  PatchListener base{};
  FILE* out = nullptr;
  uint64_t bodyBytes = 0;
  bool drained = false;
  bool written = true;
};

hl_bool raw_read(void* handle, hl_byte* buf, uint32_t* count) {
  *count = uint32_t(std::fread(buf, 1, *count, static_cast<FILE*>(handle)));
  return hl_TRUE;
}

// The patch read on from a position with positioned reads, as hpatchi reads it.
uint64_t patchPosition = 0;

hl_bool positioned_read(void* handle, hl_byte* buf, uint32_t* count) {
  const TFileStreamHead* head = &static_cast<TFileInStream*>(handle)->base.head;
  if (*count > head->streamSize - patchPosition)
    *count = uint32_t(head->streamSize - patchPosition);
  if (!head->read(head, patchPosition, buf, buf + *count)) *count = 0;
  patchPosition += *count;
  return hl_TRUE;
}

// The first cover that needs the old file or the new file arrives after the driver has installed
// the decompressor as the listener's reader: from here the rest of the body is read through it,
// and the patch is then abandoned.
hl_bool drain(PatchListener* listener) {
  auto* self = reinterpret_cast<Drain*>(listener);
  if (!self->drained) {
    for (;;) {
      uint32_t got = kRequest;
      if (!listener->readDiff(listener->diffHandle, request, &got)) break;
      self->bodyBytes += got;
      if (self->out != nullptr && std::fwrite(request, 1, got, self->out) != got) {
        self->written = false;
      }
      if (got < kRequest) break;
    }
    self->drained = true;
  }
  return hl_FALSE;
}

hl_bool read_old(PatchListener* listener, uint32_t, hl_byte*, uint32_t) { return drain(listener); }
hl_bool write_new(PatchListener* listener, const hl_byte*, uint32_t) { return drain(listener); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fputs("usage: decode_body PATCH [OUT]\n", stderr);
    return 1;
  }
  if (!file_in_stream_open(&patchStream, argv[1])) {
    std::fprintf(stderr, "%s: cannot be opened\n", argv[1]);
    return 1;
  }
  Drain d;
  if (argc == 3) {
    d.out = std::fopen(argv[2], "wb+");
    if (d.out == nullptr) {
      std::perror(argv[2]);
      return 1;
    }
    std::setvbuf(d.out, outBuffer, _IOFBF, sizeof(outBuffer));
  }
  uint32_t type = 0, newSize = 0, uncompressSize = 0;
  if (!hpatch_lite_open(&patchStream, positioned_read, &type, &newSize, &uncompressSize)) {
    std::fputs("not a patch\n", stderr);
    return 1;
  }
  d.base.diffHandle = &patchStream;
  d.base.readDiff = positioned_read;
  if (type == HPATCH_LITE_COMPRESS_NONE &&
      fseeko(patchStream.base.file, off_t(patchPosition), SEEK_SET) == 0) {
    d.base.diffHandle = patchStream.base.file;
    d.base.readDiff = raw_read;
  }
  d.base.readOld = read_old;
  d.base.writeNew = write_new;
  hpatchi_patch(&d.base, type, newSize, uncompressSize, HPATCHI_CACHE_SIZE);
  file_stream_close(&patchStream.base);
  if (d.out != nullptr && std::fclose(d.out) != 0) d.written = false;
  std::printf("body: %llu bytes past the first request\n",
              static_cast<unsigned long long>(d.bodyBytes));
  return d.drained && d.written ? 0 : 1;
}
