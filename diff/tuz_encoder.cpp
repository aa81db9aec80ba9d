#include "diff/tuz_encoder.h"

#include <algorithm>
#include <cstring>

#include "diff/tuz_bit_writer.h"

namespace hldiff {
namespace {

constexpr uint32_t kFarDistance =
    TUZ_SHORT_DISTANCE_MAX;  // newly coded distances above this cost one length
constexpr size_t kMinBlock = TUZ_LITERAL_BLOCK_MIN;  // shortest literal block
constexpr unsigned kHashBits = 17;

struct LevelParams {
  unsigned chainDepth;
  size_t niceLength;
  bool lazy;
};

LevelParams params_for(int level) {
  static const LevelParams table[] = {
      {2, 16, false},  {4, 24, false},  {8, 32, true},    {16, 48, true},    {24, 64, true},
      {32, 128, true}, {64, 192, true}, {128, 258, true}, {512, 1024, true},
  };
  level = std::clamp(level, 1, 9);
  return table[level - 1];
}

unsigned distance_bits(uint64_t d) {
  if (d < 128) return 8;
  return 8 + 3 * TuzBitWriter::count_code_groups((d - 128) >> 7);
}

unsigned length_bits(uint64_t l) { return 2 * TuzBitWriter::length_code_groups(l); }

// Bits of a match of len bytes at a newly coded distance d, or UINT32_MAX when impossible.
unsigned fresh_match_bits(size_t len, uint64_t d, bool reuseBitDue) {
  size_t minLen = d > kFarDistance ? 3 : 2;
  if (len < minLen) return UINT32_MAX;
  return 1 + length_bits(len - minLen) + (reuseBitDue ? 1 : 0) + distance_bits(d);
}

unsigned reuse_match_bits(size_t len) { return 2 + length_bits(len - 2); }

// Bits saved against coding the same bytes as literals: 9 bits each alone, close to 8 in a
// literal block, so a match has to beat 8 bits a byte.
long savings(size_t len, unsigned bits) {
  return bits == UINT32_MAX ? -1 : static_cast<long>(8 * len) - static_cast<long>(bits);
}

struct Candidate {
  size_t length = 0;
  uint32_t distance = 0;
  bool reuse = false;
  long gain = -1;
};

class TuzEncoder {
 public:
  TuzEncoder(const uint8_t* data, size_t size, uint32_t dictSize, const LevelParams& params,
             std::vector<uint8_t>& out)
      : data_(data), size_(size), dictSize_(dictSize), params_(params), bits_(out) {
    size_t ring = 1;
    while (ring < std::min<size_t>(dictSize, std::max<size_t>(size, 1))) ring <<= 1;
    ringMask_ = ring - 1;
    prev_.assign(ring, UINT32_MAX);
    head_.assign(size_t(1) << kHashBits, UINT32_MAX);
  }

  void run() {
    size_t pos = 0;
    while (pos < size_) {
      Candidate here = best_at(pos, reuse_due_before(pos));
      insert(pos);
      // Inside a long literal run a match also splits one literal block into two.
      const long needed = pos - literalStart_ >= kMinBlock ? 16 : 0;
      if (here.gain <= needed) {
        ++pos;
        continue;
      }
      if (params_.lazy && here.length < params_.niceLength && pos + 1 < size_) {
        // Deferring by one literal keeps the reuse bit available; take the later match when
        // it pays for that literal.
        Candidate next = best_at(pos + 1, true);
        if (next.gain > here.gain + 9) {
          ++pos;
          continue;
        }
      }
      here.length = extend(pos, here);
      emit_match(pos, here);
      for (size_t i = 1; i < here.length; ++i) insert(pos + i);
      pos += here.length;
    }
    flush_literals(size_);
    emit_control(TUZ_CTRL_END);
  }

 private:
  bool reuse_due_before(size_t pos) const { return pos > literalStart_ || afterLiteral_; }

  uint32_t hash_at(size_t pos) const {
    uint32_t v =
        uint32_t(data_[pos]) | uint32_t(data_[pos + 1]) << 8 | uint32_t(data_[pos + 2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  void insert(size_t pos) {
    if (pos + 3 > size_) return;
    uint32_t h = hash_at(pos);
    prev_[pos & ringMask_] = head_[h];
    head_[h] = static_cast<uint32_t>(pos);
  }

  size_t common_length(size_t a, size_t b, size_t limit) const {
    size_t n = 0;
    while (n < limit && data_[a + n] == data_[b + n]) ++n;
    return n;
  }

  Candidate best_at(size_t pos, bool reuseDue) const {
    Candidate best;
    const size_t limit = std::min(size_ - pos, params_.niceLength);
    if (reuseDue && lastDistance_ <= pos) {
      size_t len = common_length(pos - lastDistance_, pos, limit);
      if (len >= 2) {
        best = Candidate{len, lastDistance_, true, savings(len, reuse_match_bits(len))};
        if (len >= limit) return best;
      }
    }
    if (pos + 3 > size_) return best;
    uint32_t cand = head_[hash_at(pos)];
    for (unsigned depth = 0; depth < params_.chainDepth && cand != UINT32_MAX; ++depth) {
      size_t d = pos - cand;
      if (d == 0 || d > dictSize_ || d > ringMask_ + 1) break;
      size_t len = common_length(cand, pos, limit);
      long gain = savings(len, fresh_match_bits(len, d, reuseDue));
      if (gain > best.gain) {
        best = Candidate{len, static_cast<uint32_t>(d), false, gain};
        if (len >= limit) break;
      }
      uint32_t next = prev_[cand & ringMask_];
      if (next >= cand) break;  // the ring slot was reused by a newer position
      cand = next;
    }
    return best;
  }

  // Lengthens a match that reached the compare limit as far as the bytes agree.
  size_t extend(size_t pos, const Candidate& c) const {
    if (c.length < params_.niceLength) return c.length;
    size_t len = c.length;
    const size_t src = pos - c.distance;
    while (pos + len < size_ && data_[src + len] == data_[pos + len]) ++len;
    return len;
  }

  void flush_literals(size_t end) {
    size_t n = end - literalStart_;
    if (n == 0) return;
    const bool reuseDue = afterLiteral_;
    // A block costs its header once; single literals cost one flag bit each.
    if (n >= kMinBlock) {
      uint64_t r = n - kMinBlock;
      unsigned header = 1 + 2 + (reuseDue ? 1 : 0) + 8 + 3 * TuzBitWriter::count_code_groups(r);
      if (header < n) {
        bits_.put_bit(0);
        bits_.put_length_code(TUZ_CTRL_LITERAL_BLOCK);
        if (reuseDue) bits_.put_bit(0);
        bits_.put_byte(0);
        bits_.put_count_code(r);
        for (size_t i = literalStart_; i < end; ++i) bits_.put_byte(data_[i]);
        afterLiteral_ = true;
        literalStart_ = end;
        return;
      }
    }
    for (size_t i = literalStart_; i < end; ++i) {
      bits_.put_bit(1);
      bits_.put_byte(data_[i]);
    }
    afterLiteral_ = true;
    literalStart_ = end;
  }

  void emit_match(size_t pos, const Candidate& c) {
    flush_literals(pos);
    const bool reuseDue = afterLiteral_;
    bits_.put_bit(0);
    if (c.reuse) {
      bits_.put_length_code(c.length - 2);
      bits_.put_bit(1);
    } else {
      bits_.put_length_code(c.length - (c.distance > kFarDistance ? 3 : 2));
      if (reuseDue) bits_.put_bit(0);
      bits_.put_distance(c.distance);
    }
    lastDistance_ = c.distance;
    afterLiteral_ = false;
    literalStart_ = pos + c.length;
  }

  void emit_control(unsigned code) {
    bits_.put_bit(0);
    bits_.put_length_code(code);
    if (afterLiteral_) bits_.put_bit(0);
    bits_.put_byte(0);
    afterLiteral_ = false;
    lastDistance_ = 1;
  }

  const uint8_t* data_;
  size_t size_;
  uint32_t dictSize_;
  LevelParams params_;
  TuzBitWriter bits_;
  size_t ringMask_ = 0;
  std::vector<uint32_t> prev_;
  std::vector<uint32_t> head_;
  size_t literalStart_ = 0;  // first byte of the pending literal run
  bool afterLiteral_ = false;
  uint32_t lastDistance_ = 1;
};

}  // namespace

uint32_t tuz_dict_size_for(size_t size, const TuzOptions& options) {
  uint64_t d = std::min<uint64_t>(options.dictSize, kTuzMaxDictSize);
  d = std::min<uint64_t>(d, std::max<size_t>(size, 1));
  return static_cast<uint32_t>(std::max<uint64_t>(d, 1));
}

std::vector<uint8_t> tuz_encode(const uint8_t* data, size_t size, const TuzOptions& options) {
  const uint32_t dictSize = tuz_dict_size_for(size, options);
  std::vector<uint8_t> out{static_cast<uint8_t>(dictSize), static_cast<uint8_t>(dictSize >> 8),
                           static_cast<uint8_t>(dictSize >> 16),
                           static_cast<uint8_t>(dictSize >> 24)};
  out.reserve(size / 4 + 16);
  TuzEncoder encoder(data, size, dictSize, params_for(options.level), out);
  encoder.run();
  return out;
}

}  // namespace hldiff
