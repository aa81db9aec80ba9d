// Decode throughput of the decompressor plugins, each next to its library's own one-shot decoder
// on the same compressed data in the same run.
//
//   bench_decode [MiB [name]]   (default 64 MiB, every plugin; name is tuz, zlib, lzma or lzma2)
//
// The plugins run the way the patch driver drives them: a raw reader over the compressed bytes,
// an 8192-byte input cache and requests of 12288 bytes (the patch cache's input half). Each
// figure is the best of five runs, in MB/s (10^6 bytes) of decompressed body per second of the
// process's CPU time; plugin and library runs alternate.
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include "lzma/LzmaDec.h"
}
#include "patch/decompress/lzma2_plugin.h"
#include "patch/decompress/lzma_plugin.h"
#include "patch/decompress/tuz_decoder.h"
#include "patch/decompress/zlib_plugin.h"
#include "tests/support/encoders.h"
#include "tests/decompress/tuz_writer.h"
#include "tests/support/memory_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kInputCache = 8192;
constexpr uint32_t kRequest = 12288;
constexpr int kRuns = 5;

// Executable-like data: runs of "instructions" with small variations, tables of similar words,
// text and some noise, so that the encoders find matches at many distances.
Bytes make_body(size_t size) {
  Bytes out;
  out.reserve(size);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  const char* words[] = {"update", "patch",   "window",  "Quorlin",
                         "runner", "version", "install", "folder"};
  while (out.size() < size) {
    uint64_t r = next();
    switch (r % 4) {
      case 0:  // a repeat from not too far back, lightly altered
        if (out.size() > 70000) {
          size_t dist = 1 + (next() % 65536);
          size_t len = 8 + next() % 120;
          size_t from = out.size() - dist;
          for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
          out.back() ^= uint8_t(next());
          break;
        }
        // fall through
      case 1:
        for (int i = 0; i < 6; ++i) {
          const char* w = words[next() % 8];
          out.insert(out.end(), w, w + std::strlen(w));
          out.push_back(' ');
        }
        break;
      case 2: {
        uint32_t base = uint32_t(next());
        for (int i = 0; i < 8; ++i) {
          uint32_t v = base + uint32_t(i * 16);
          for (int b = 0; b < 4; ++b) out.push_back(uint8_t(v >> (8 * b)));
        }
        break;
      }
      default:
        for (int i = 0; i < 16; ++i) out.push_back(uint8_t(next()));
        break;
    }
  }
  out.resize(size);
  return out;
}

// CPU time of the process (it has one thread): on a machine shared with other work it varies far
// less than the wall clock, and the decoders neither sleep nor wait for I/O.
double cpu_seconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

// Best times of a plugin run and a library run, taken in alternation so that a change in the
// machine's load hits both alike.
void best_of_pair(const std::function<bool()>& plugin, const std::function<bool()>& library,
                  Bytes& out, double* pluginSec, bool* pluginOk, double* librarySec,
                  bool* libraryOk) {
  *pluginSec = *librarySec = 1e30;
  *pluginOk = *libraryOk = true;
  for (int i = 0; i < kRuns; ++i) {
    for (int which = 0; which < 2; ++which) {
      std::fill(out.begin(), out.end(), 0);  // a run that writes nothing must not pass the check
      double t0 = cpu_seconds();
      bool good = which == 0 ? plugin() : library();
      double sec = cpu_seconds() - t0;
      double* best = which == 0 ? pluginSec : librarySec;
      bool* ok = which == 0 ? pluginOk : libraryOk;
      *ok = *ok && good;
      *best = std::min(*best, sec);
    }
  }
}

double seconds_of(const std::function<bool()>& run, Bytes& out, bool* ok) {
  double best = 1e30;
  *ok = true;
  for (int i = 0; i < kRuns; ++i) {
    std::fill(out.begin(), out.end(), 0);
    double t0 = cpu_seconds();
    bool good = run();
    double t1 = cpu_seconds();
    *ok = *ok && good;
    best = std::min(best, t1 - t0);
  }
  return best;
}

// Reads the whole body through a plugin's read operation in requests of kRequest bytes.
bool drain(hl_read_fn read, void* record, Bytes& out) {
  size_t done = 0;
  while (done < out.size()) {
    uint32_t count = uint32_t(std::min<size_t>(kRequest, out.size() - done));
    uint32_t asked = count;
    if (!read(record, out.data() + done, &count) || count != asked) return false;
    done += count;
  }
  return true;
}

void report(const char* name, size_t bodySize, size_t packedSize, double pluginSec, bool pluginOk,
            double libSec, bool libOk) {
  double pluginMBs = bodySize / pluginSec / 1e6;
  std::printf("%-6s packed %10zu  plugin %8.1f MB/s%s", name, packedSize, pluginMBs,
              pluginOk ? "" : " (WRONG)");
  if (libSec > 0) {
    double libMBs = bodySize / libSec / 1e6;
    std::printf("  library %8.1f MB/s%s  ratio %5.1f%%", libMBs, libOk ? "" : " (WRONG)",
                100.0 * pluginMBs / libMBs);
  }
  std::printf("\n");
  std::fflush(stdout);
}

hl_test::TuzWriter tuz_encode(const Bytes& data, uint32_t dictSize) {
  hl_test::TuzWriter w;
  std::vector<uint32_t> table(1u << 16, UINT32_MAX);
  Bytes pending;
  auto flush = [&] {
    w.literals(pending);
    pending.clear();
  };
  size_t i = 0;
  while (i < data.size()) {
    if (i + 4 <= data.size()) {
      uint32_t key;
      std::memcpy(&key, data.data() + i, 4);
      uint32_t h = (key * 2654435761u) >> 16;
      uint32_t cand = table[h];
      table[h] = uint32_t(i);
      if (cand != UINT32_MAX && i - cand <= dictSize) {
        size_t len = 0;
        while (i + len < data.size() && data[cand + len] == data[i + len] && len < 65536) ++len;
        if (len >= 4) {
          flush();
          w.match(uint32_t(len), uint32_t(i - cand));
          i += len;
          continue;
        }
      }
    }
    pending.push_back(data[i++]);
    if (pending.size() == 4000) flush();
  }
  flush();
  w.end();
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  if (mib == 0) mib = 64;
  const std::string only = argc > 2 ? argv[2] : "";
  auto wanted = [&only](const char* name) { return only.empty() || only == name; };
  const Bytes body = make_body(mib << 20);
  Bytes out(body.size());
  std::printf("body %zu bytes, input cache %u, requests of %u bytes, best of %d\n", body.size(),
              kInputCache, kRequest, kRuns);

  if (wanted("tuz")) {  // tuz: no library to compare with
    const uint32_t dictSize = 1u << 20;
    auto w = tuz_encode(body, dictSize);
    const Bytes& code = w.code();
    std::vector<hl_byte> block(dictSize + kInputCache);
    hl_test::MemoryReader raw(code);
    bool ok;
    double sec = seconds_of(
        [&] {
          raw.pos = 0;
          tuz_TStream s;
          std::memset(&s, 0, sizeof(s));
          if (tuz_TStream_open(&s, &raw, hl_test::MemoryReader::read, block.data(), dictSize,
                               kInputCache) != TUZ_OK)
            return false;
          return drain(tuz_TStream_read, &s, out) && out == body;
        },
        out, &ok);
    report("tuz", body.size(), code.size(), sec, ok, 0, true);
  }

  if (wanted("zlib")) {
    Bytes packed = hl_test::zlib_compress(body, 15, 6);
    Bytes tail{15};
    tail.insert(tail.end(), packed.begin(), packed.end());
    hl_test::MemoryReader raw(tail);
    bool pluginOk, libOk;
    auto plugin = [&] {
      raw.pos = 0;
      _zlib_TStream s;
      uint64_t m = 0;
      if (!_zlib_TStream_getReservedMemSize(&s, &raw, hl_test::MemoryReader::read,
                                            uint32_t(body.size()), &m))
        return false;
      std::vector<hl_byte> block(m + kInputCache);
      bool good = _zlib_TStream_open(&s, block.data(), m, kInputCache) &&
                  drain(_zlib_TStream_read, &s, out);
      good = _zlib_TStream_close(&s) && good;
      return good && out == body;
    };
    auto library = [&] {
      uLongf len = uLongf(out.size());
      return uncompress(out.data(), &len, packed.data(), uLong(packed.size())) == Z_OK &&
             len == body.size() && out == body;
    };
    double pluginSec, libSec;
    best_of_pair(plugin, library, out, &pluginSec, &pluginOk, &libSec, &libOk);
    report("zlib", body.size(), packed.size(), pluginSec, pluginOk, libSec, libOk);
  }

  if (wanted("lzma")) {  // LzmaDec
    auto enc = hl_test::lzma_compress(body, 1u << 22, false, 3, 0, 2, 1);
    Bytes tail{5};
    tail.insert(tail.end(), enc.props.begin(), enc.props.end());
    tail.insert(tail.end(), enc.data.begin(), enc.data.end());
    hl_test::MemoryReader raw(tail);
    bool pluginOk, libOk;
    auto plugin = [&] {
      raw.pos = 0;
      _lzma_TStream s;
      uint64_t m = 0;
      if (!_lzma_TStream_getReservedMemSize(&s, &raw, hl_test::MemoryReader::read,
                                            uint32_t(body.size()), &m))
        return false;
      std::vector<hl_byte> block(m + kInputCache);
      bool good = _lzma_TStream_open(&s, block.data(), m, kInputCache) &&
                  drain(_lzma_TStream_read, &s, out);
      _lzma_TStream_close(&s);
      return good && out == body;
    };
    auto library = [&] {
      ISzAlloc alloc = {[](void*, size_t n) { return std::malloc(n); },
                        [](void*, void* p) { std::free(p); }};
      SizeT outLen = out.size();
      SizeT inLen = enc.data.size();
      ELzmaStatus status;
      SRes res = LzmaDecode(out.data(), &outLen, enc.data.data(), &inLen, enc.props.data(), 5,
                            LZMA_FINISH_ANY, &status, &alloc);
      return res == SZ_OK && outLen == body.size() && out == body;
    };
    double pluginSec, libSec;
    best_of_pair(plugin, library, out, &pluginSec, &pluginOk, &libSec, &libOk);
    report("lzma", body.size(), enc.data.size(), pluginSec, pluginOk, libSec, libOk);
  }

  if (wanted("lzma2")) {          // the chunk decoder over LzmaDec, next to liblzma
    const uint8_t dictProp = 20;  // 4 MiB
    Bytes packed = hl_test::lzma2_compress(body, dictProp, 1);
    Bytes tail{dictProp};
    tail.insert(tail.end(), packed.begin(), packed.end());
    hl_test::MemoryReader raw(tail);
    bool pluginOk, libOk;
    auto plugin = [&] {
      raw.pos = 0;
      _lzma2_TStream s;
      uint64_t m = 0;
      if (!_lzma2_TStream_getReservedMemSize(&s, &raw, hl_test::MemoryReader::read,
                                             uint32_t(body.size()), &m))
        return false;
      std::vector<hl_byte> block(m + kInputCache);
      bool good = _lzma2_TStream_open(&s, block.data(), m, kInputCache) &&
                  drain(_lzma2_TStream_read, &s, out);
      _lzma2_TStream_close(&s);
      return good && out == body;
    };
    auto library = [&] {
      lzma_options_lzma options;
      lzma_lzma_preset(&options, 1);
      options.dict_size = hl_test::lzma2_dict_size(dictProp);
      lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
      size_t inPos = 0, outPos = 0;
      lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, packed.data(), &inPos, packed.size(),
                                            out.data(), &outPos, out.size());
      return (ret == LZMA_OK || ret == LZMA_STREAM_END) && outPos == body.size() && out == body;
    };
    double pluginSec, libSec;
    best_of_pair(plugin, library, out, &pluginSec, &pluginOk, &libSec, &libOk);
    report("lzma2", body.size(), packed.size(), pluginSec, pluginOk, libSec, libOk);
  }
  return 0;
}
