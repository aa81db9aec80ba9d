// Writes hpatch_lite patches for tests, valid or deliberately malformed.
#include "tests/support/patch_writer.h"

#include <algorithm>
#include <random>
#include <stdexcept>

#include "diff/packed_number.h"

namespace hl_test {

void append_padded_packed(Bytes& out, uint32_t value, unsigned extraLeading) {
  out.insert(out.end(), extraLeading, HPATCH_LITE_PACKED_MORE);
  hldiff::append_packed(out, value);
}

void append_padded_tag(Bytes& out, uint32_t step, bool back, bool plainCopy,
                       unsigned extraStepBytes) {
  if (extraStepBytes == 0) {
    hldiff::append_cover_tag(out, plainCopy, back, step);
    return;
  }
  // The step then lies whole in the continuation bytes: the tag's own five bits are zero, and the
  // bytes are the step's packed number led by as many zero groups as make up the count.
  out.push_back(static_cast<uint8_t>((plainCopy ? HPATCH_LITE_TAG_PLAIN_COPY : 0) |
                                     (back ? HPATCH_LITE_TAG_BACKWARD : 0) |
                                     HPATCH_LITE_TAG_STEP_MORE));
  const unsigned continuation = hldiff::cover_tag_extra_bytes(step) + extraStepBytes;
  append_padded_packed(out, step, continuation - hldiff::packed_size(step));
}

unsigned size_field_width(uint32_t value) {
  unsigned width = 0;
  while (value != 0) {
    ++width;
    value >>= 8;
  }
  return width;
}

Bytes make_header(const HeaderFields& fields) {
  Bytes out{
      HPATCH_LITE_MAGIC_0, HPATCH_LITE_MAGIC_1, fields.compressType,
      static_cast<uint8_t>(fields.versionBits | (fields.newSizeWidth & HPATCH_LITE_WIDTH_MASK) |
                           ((fields.uncompressSizeWidth & HPATCH_LITE_WIDTH_MASK)
                            << HPATCH_LITE_UNCOMPRESS_WIDTH_SHIFT))};
  auto appendField = [&out](uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
      out.push_back(i < HPATCH_LITE_SIZE_FIELD_MAX ? static_cast<uint8_t>(value >> (8 * i)) : 0);
    }
  };
  appendField(fields.newSize, fields.newSizeWidth & HPATCH_LITE_WIDTH_MASK);
  appendField(fields.uncompressSize, fields.uncompressSizeWidth & HPATCH_LITE_WIDTH_MASK);
  return out;
}

Bytes write_body(const std::vector<CoverRecord>& covers, uint32_t coverCount) {
  Bytes out;
  hldiff::append_packed(out, coverCount);
  for (const CoverRecord& c : covers) {
    hldiff::append_packed(out, c.coverLen);
    append_padded_tag(out, c.step, c.back, c.plainCopy, c.extraStepBytes);
    hldiff::append_packed(out, static_cast<uint32_t>(c.literal.size()));
    out.insert(out.end(), c.literal.begin(), c.literal.end());
    if (!c.plainCopy) out.insert(out.end(), c.diff.begin(), c.diff.end());
  }
  return out;
}

Bytes write_body(const std::vector<CoverRecord>& covers) {
  return write_body(covers, static_cast<uint32_t>(covers.size()));
}

PatchBuilder::PatchBuilder(const Bytes& oldData) : old_(oldData) {}

void PatchBuilder::literal(const Bytes& bytes) {
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  newData_.insert(newData_.end(), bytes.begin(), bytes.end());
}

void PatchBuilder::add(CoverRecord record, uint32_t oldPos) {
  if (oldPos >= oldPos_) {
    record.step = oldPos - oldPos_;
    record.back = false;
  } else {
    record.step = oldPos_ - oldPos;
    record.back = true;
  }
  record.extraStepBytes = extraStepBytes_;
  record.literal.swap(pending_);
  pending_.clear();
  oldPos_ = oldPos + record.coverLen;
  covers_.push_back(std::move(record));
}

void PatchBuilder::cover(uint32_t oldPos, const Bytes& newBytes, bool allowPlain) {
  if (newBytes.empty()) return;  // only the last cover may be empty
  if (oldPos > old_.size() || newBytes.size() > old_.size() - oldPos) {
    throw std::out_of_range("cover beyond the old data");
  }
  CoverRecord record;
  record.coverLen = static_cast<uint32_t>(newBytes.size());
  record.diff.resize(newBytes.size());
  bool equal = true;
  for (size_t i = 0; i < newBytes.size(); ++i) {
    record.diff[i] = static_cast<uint8_t>(newBytes[i] - old_[oldPos + i]);
    equal = equal && record.diff[i] == 0;
  }
  record.plainCopy = allowPlain && equal;
  if (record.plainCopy) record.diff.clear();
  newData_.insert(newData_.end(), newBytes.begin(), newBytes.end());
  add(std::move(record), oldPos);
}

void PatchBuilder::copy(uint32_t oldPos, uint32_t length) {
  if (oldPos > old_.size() || length > old_.size() - oldPos) {
    throw std::out_of_range("copy beyond the old data");
  }
  if (length == 0) return;
  CoverRecord record;
  record.coverLen = length;
  record.plainCopy = true;
  newData_.insert(newData_.end(), old_.begin() + oldPos, old_.begin() + oldPos + length);
  add(std::move(record), oldPos);
}

std::vector<CoverRecord> PatchBuilder::covers() const {
  std::vector<CoverRecord> all = covers_;
  if (!pending_.empty() || forceEmptyCover_) {
    CoverRecord last;
    last.extraStepBytes = extraStepBytes_;
    last.literal = pending_;
    all.push_back(std::move(last));
  }
  return all;
}

Bytes PatchBuilder::body() const { return write_body(covers()); }

Bytes PatchBuilder::patch() const {
  HeaderFields fields;
  fields.newSize = static_cast<uint32_t>(newData_.size());
  fields.newSizeWidth = size_field_width(fields.newSize);
  Bytes out = make_header(fields);
  Bytes b = body();
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes make_patch(const Bytes& oldData, const Bytes& newData, uint32_t seed) {
  std::mt19937 rng(seed);
  PatchBuilder builder(oldData);
  size_t pos = 0;
  uint32_t running = 0;  // where the next step-0 cover would start
  while (pos < newData.size()) {
    static const uint32_t kMaxLengths[] = {16, 300, 5000, 70000};
    uint32_t length = 1 + rng() % kMaxLengths[rng() % 4];
    length = static_cast<uint32_t>(std::min<size_t>(length, newData.size() - pos));
    builder.set_extra_step_bytes(rng() % 8 == 0 ? 1 + rng() % 2 : 0);
    unsigned kind = rng() % 100;
    if (kind < 20 || oldData.empty()) {
      builder.literal(Bytes(newData.begin() + pos, newData.begin() + pos + length));
    } else {
      length = static_cast<uint32_t>(std::min<size_t>(length, oldData.size()));
      uint32_t oldPos;
      if (kind < 60 && pos + length <= oldData.size()) {
        oldPos = static_cast<uint32_t>(pos);  // aligned: plain copy where nothing changed
      } else if (kind < 75 && running + static_cast<uint64_t>(length) <= oldData.size()) {
        oldPos = running;  // step 0
      } else {
        oldPos = static_cast<uint32_t>(rng() % (oldData.size() - length + 1));
      }
      builder.cover(oldPos, Bytes(newData.begin() + pos, newData.begin() + pos + length));
      running = oldPos + length;
    }
    pos += length;
  }
  if (rng() % 2 == 0) builder.end_with_empty_cover();
  return builder.patch();
}

}  // namespace hl_test
