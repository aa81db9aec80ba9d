#include "tests/support/encoders.h"

#include <zlib.h>
#include <lzma.h>

#include <cstdlib>
#include <stdexcept>

extern "C" {
#include "lzma/LzmaEnc.h"
}
#include "patch/decompress/lzma2_decoder.h"

namespace hl_test {

Bytes zlib_compress(const Bytes& data, int windowBits, int level) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&s, data.size()) + 64);
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int ret = deflate(&s, Z_FINISH);
  deflateEnd(&s);
  if (ret != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(s.total_out);
  return out;
}

namespace {
void* sdk_alloc(void*, size_t size) { return std::malloc(size); }
void sdk_free(void*, void* address) { std::free(address); }
ISzAlloc g_sdkAlloc = {sdk_alloc, sdk_free};
}  // namespace

LzmaEncoded lzma_compress(const Bytes& data, uint32_t dictSize, bool endMark, int lc, int lp,
                          int pb, int level) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = level;
  props.dictSize = dictSize;
  props.lc = lc;
  props.lp = lp;
  props.pb = pb;
  LzmaEncoded enc;
  enc.props.resize(LZMA_PROPS_SIZE);
  SizeT propsSize = LZMA_PROPS_SIZE;
  SizeT outLen = data.size() + data.size() / 3 + 1024;
  enc.data.resize(outLen);
  SRes res =
      LzmaEncode(enc.data.data(), &outLen, data.data(), data.size(), &props, enc.props.data(),
                 &propsSize, endMark ? 1 : 0, nullptr, &g_sdkAlloc, &g_sdkAlloc);
  if (res != SZ_OK) throw std::runtime_error("LzmaEncode");
  enc.data.resize(outLen);
  return enc;
}

uint32_t lzma2_dict_size(uint8_t dictProp) {
  if (dictProp == 40) return 0xFFFFFFFFu;
  return (2u | (dictProp & 1u)) << (dictProp / 2u + 11u);
}

Bytes lzma2_compress(const Bytes& data, uint8_t dictProp, uint32_t preset) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) throw std::runtime_error("lzma_lzma_preset");
  options.dict_size = lzma2_dict_size(dictProp);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(data.size() + data.size() / 2 + 4096);
  size_t outPos = 0;
  if (lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &outPos,
                             out.size()) != LZMA_OK)
    throw std::runtime_error("lzma_raw_buffer_encode");
  out.resize(outPos);
  return out;
}

namespace {
// Decodes stream with liblzma; true when it reached the end byte. out gets what was delivered.
bool lzma2_liblzma_decode(const Bytes& stream, uint8_t dictProp, size_t outLimit, Bytes& out) {
  lzma_options_lzma options{};
  options.dict_size = lzma2_dict_size(dictProp);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  out.assign(outLimit, 0);
  if (lzma_raw_decoder(&s, filters) != LZMA_OK) throw std::runtime_error("lzma_raw_decoder");
  s.next_in = stream.data();
  s.avail_in = stream.size();
  s.next_out = out.data();
  s.avail_out = out.size();
  lzma_ret ret = LZMA_OK;
  // Also with the output full: the end byte may still be waiting.
  while (ret == LZMA_OK) {
    size_t before = s.avail_in + s.avail_out;
    ret = lzma_code(&s, LZMA_RUN);
    if (ret == LZMA_OK && s.avail_in + s.avail_out == before) break;
  }
  out.resize(s.total_out);
  lzma_end(&s);
  return ret == LZMA_STREAM_END;
}
}  // namespace

Lzma2Reference lzma2_reference_decode(const Bytes& stream, uint8_t dictProp, size_t outLimit) {
  Lzma2Reference ref;
  ref.complete = lzma2_liblzma_decode(stream, dictProp, outLimit, ref.out);
  if (!ref.complete) {
    Bytes ended = stream;
    ended.push_back(0);
    Bytes out;
    ref.complete = lzma2_liblzma_decode(ended, dictProp, outLimit, out) && out == ref.out;
  }
  return ref;
}

Lzma2Stepwise lzma2_decode_stepwise(uint8_t dictProp, const Bytes& stream, size_t outLimit) {
  ISzAlloc heap = {sdk_alloc, sdk_free};
  hl_TLzma2Dec dec{};
  Lzma2Stepwise r;
  if (hl_lzma2_dec_allocate(&dec, dictProp, &heap) != SZ_OK) return r;
  hl_lzma2_dec_init(&dec);
  size_t inPos = 0;
  while (r.out.size() < outLimit) {
    if (dec.decoder.dicPos == dec.decoder.dicBufSize) dec.decoder.dicPos = 0;
    const size_t before = dec.decoder.dicPos;
    SizeT inLen = stream.size() - inPos;
    ELzmaStatus status;
    SRes res = hl_lzma2_dec_decode_to_dic(&dec, before + 1, stream.data() + inPos, &inLen, &status);
    inPos += inLen;
    if (dec.decoder.dicPos != before) r.out.push_back(dec.decoder.dic[before]);
    if (res != SZ_OK) {
      r.starved = dec.chunkPacked == 0 && dec.chunkUnpacked != 0;
      break;
    }
    if (status == LZMA_STATUS_FINISHED_WITH_MARK ||
        status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK) {
      r.complete = true;
      break;
    }
    if (status == LZMA_STATUS_NEEDS_MORE_INPUT) {
      r.starved = true;
      break;
    }
  }
  hl_lzma2_dec_free(&dec, &heap);
  return r;
}

std::vector<size_t> lzma2_chunk_offsets(const Bytes& stream) {
  std::vector<size_t> offsets;
  size_t i = 0;
  while (i + 2 < stream.size() && stream[i] != 0) {
    const uint8_t control = stream[i];
    offsets.push_back(i);
    if (control < 0x80) {
      i += 3 + ((size_t(stream[i + 1]) << 8 | stream[i + 2]) + 1);
    } else {
      if (i + 4 >= stream.size()) break;
      i += (control >= 0xC0 ? 6 : 5) + ((size_t(stream[i + 3]) << 8 | stream[i + 4]) + 1);
    }
  }
  return offsets;
}

}  // namespace hl_test
