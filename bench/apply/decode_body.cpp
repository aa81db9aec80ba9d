// Decodes the body of a patch file alone: the decompressor that the patch names, set up by the
// patch driver exactly as for applying it, is asked for the whole body in requests of the patch
// cache's input half, and the bytes go nowhere. No old file is read and no new file written, so
// the process's time is the floor that applying the same patch can approach.
//
//   decode_body PATCH     prints the bytes read past the first request; exits 0 when the body was decoded
#include <cstdint>
#include <cstdio>
#include <vector>

#include "patch/hpatch_lite.h"
#include "patch/hpatchi.h"

namespace {

// What the patch algorithm asks of a compressed body at once.
const uint32_t kRequest = hpatchi_body_refill_size(HPATCHI_CACHE_SIZE, 1);

struct Drain {
  PatchListener base;
  uint64_t bodyBytes = 0;
  bool drained = false;
};

hl_bool raw_read(void* handle, hl_byte* buf, uint32_t* count) {
  *count = uint32_t(std::fread(buf, 1, *count, static_cast<FILE*>(handle)));
  return hl_TRUE;
}

// The first cover that needs the old file or the new file arrives after the driver has installed
// the decompressor as the listener's reader: from here the rest of the body is read through it,
// and the patch is then abandoned.
hl_bool drain(PatchListener* listener) {
  auto* self = reinterpret_cast<Drain*>(listener);
  if (!self->drained) {
    std::vector<hl_byte> buf(kRequest);
    for (;;) {
      uint32_t got = kRequest;
      if (!listener->readDiff(listener->diffHandle, buf.data(), &got)) break;
      self->bodyBytes += got;
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
  if (argc != 2) {
    std::fputs("usage: decode_body PATCH\n", stderr);
    return 1;
  }
  FILE* file = std::fopen(argv[1], "rb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  static char buffer[1 << 16];
  std::setvbuf(file, buffer, _IOFBF, sizeof(buffer));
  uint32_t type = 0, newSize = 0, uncompressSize = 0;
  if (!hpatch_lite_open(file, raw_read, &type, &newSize, &uncompressSize)) {
    std::fputs("not a patch\n", stderr);
    return 1;
  }
  Drain d;
  d.base.diffHandle = file;
  d.base.readDiff = raw_read;
  d.base.readOld = read_old;
  d.base.writeNew = write_new;
  hpatchi_patch(&d.base, type, newSize, uncompressSize, HPATCHI_CACHE_SIZE);
  std::fclose(file);
  std::printf("body: %llu bytes past the first request\n", static_cast<unsigned long long>(d.bodyBytes));
  return d.drained ? 0 : 1;
}
