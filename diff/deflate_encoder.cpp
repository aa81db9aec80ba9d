#include "diff/deflate_encoder.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace hldiff {

int deflate_window_bits_for(size_t size, uint64_t dictSize) {
  uint64_t span = std::min<uint64_t>(size, dictSize);
  int bits = 9;
  while (bits < 15 && (uint64_t(1) << bits) < span) ++bits;
  return bits;
}

std::vector<uint8_t> deflate_encode(const uint8_t* data, size_t size,
                                    const DeflateOptions& options) {
  const int w = std::clamp(options.windowBits, 9, 15);
  int param = w;
  if (options.framing == DeflateFraming::Gzip) param = w + 16;
  if (options.framing == DeflateFraming::Raw) param = -w;

  z_stream strm{};
  int rc = deflateInit2(&strm, std::clamp(options.level, 0, 9), Z_DEFLATED, param, 9,
                        Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) throw std::runtime_error("deflateInit2 failed: " + std::to_string(rc));

  std::vector<uint8_t> out;
  out.push_back(static_cast<uint8_t>(static_cast<int8_t>(param)));
  out.resize(1 + deflateBound(&strm, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uLong(size)) + 64);
  size_t done = 0;
  size_t produced = 1;
  int flush = Z_NO_FLUSH;
  do {
    // zlib counts in 32 bits: feed at most 1 GiB at a time.
    size_t chunk = std::min<size_t>(size - done, size_t(1) << 30);
    strm.next_in = const_cast<Bytef*>(data + done);
    strm.avail_in = static_cast<uInt>(chunk);
    flush = (done + chunk == size) ? Z_FINISH : Z_NO_FLUSH;
    do {
      if (out.size() - produced < (size_t(1) << 16)) out.resize(out.size() + (size_t(1) << 20));
      size_t room = std::min<size_t>(out.size() - produced, size_t(1) << 30);
      strm.next_out = out.data() + produced;
      strm.avail_out = static_cast<uInt>(room);
      rc = deflate(&strm, flush);
      produced += room - strm.avail_out;
      if (rc == Z_STREAM_ERROR) {
        deflateEnd(&strm);
        throw std::runtime_error("deflate failed");
      }
    } while (strm.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    done += chunk;
  } while (flush != Z_FINISH);
  deflateEnd(&strm);
  out.resize(produced);
  return out;
}

}  // namespace hldiff
