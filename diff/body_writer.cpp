#include "diff/body_writer.h"

#include <stdexcept>

#include "diff/packed_number.h"

namespace hldiff {
namespace {

struct Piece {
  size_t oldPos;
  size_t newPos;
  size_t length;
  bool plain;
};

// Splits one cover into plain and difference pieces.
void split_cover(const uint8_t* old, const uint8_t* neu, const Cover& c, size_t plainRunMin,
                 std::vector<Piece>& out) {
  const uint8_t* o = old + c.oldPos;
  const uint8_t* n = neu + c.newPos;
  size_t diffStart = 0;  // start of the difference piece being gathered
  size_t i = 0;
  bool anyDiff = false;  // since diffStart
  while (i < c.length) {
    if (o[i] != n[i]) {
      anyDiff = true;
      ++i;
      continue;
    }
    size_t runStart = i;
    while (i < c.length && o[i] == n[i]) ++i;
    size_t run = i - runStart;
    if (plainRunMin != 0 && run >= plainRunMin) {
      if (runStart > diffStart)
        out.push_back(
            Piece{c.oldPos + diffStart, c.newPos + diffStart, runStart - diffStart, false});
      out.push_back(Piece{c.oldPos + runStart, c.newPos + runStart, run, true});
      diffStart = i;
      anyDiff = false;
    }
  }
  if (diffStart < c.length)
    out.push_back(
        Piece{c.oldPos + diffStart, c.newPos + diffStart, c.length - diffStart, !anyDiff});
}

uint32_t to_u32(size_t v) {
  if (v > 0xFFFFFFFFu) throw std::length_error("value does not fit the patch format");
  return static_cast<uint32_t>(v);
}

}  // namespace

std::vector<uint8_t> write_body(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                size_t newSize, const std::vector<Cover>& covers,
                                const BodyOptions& options) {
  std::vector<Piece> pieces;
  pieces.reserve(covers.size());
  size_t newEnd = 0;
  for (const Cover& c : covers) {
    if (c.length == 0) continue;
    if (c.newPos < newEnd || c.newPos + c.length > newSize || c.oldPos + c.length > oldSize)
      throw std::logic_error("covers out of order or out of range");
    split_cover(old, neu, c, options.plainRunMin, pieces);
    newEnd = c.newPos + c.length;
  }
  const bool tailCover = newEnd < newSize || (pieces.empty() && newSize > 0);

  std::vector<uint8_t> body;
  body.reserve(newSize / 8 + 64);
  append_packed(body, to_u32(pieces.size() + (tailCover ? 1 : 0)));
  uint32_t runningOld = 0;
  size_t runningNew = 0;
  // Where each plain piece's header starts in the body, for the padding decision below.
  std::vector<std::pair<size_t, size_t>> plainAt;
  for (const Piece& p : pieces) {
    size_t headerAt = body.size();
    append_packed(body, to_u32(p.length));
    uint32_t target = to_u32(p.oldPos);
    uint32_t forward = target - runningOld;
    uint32_t backward = runningOld - target;
    if (backward < forward)
      append_cover_tag(body, p.plain, true, backward);
    else
      append_cover_tag(body, p.plain, false, forward);
    append_packed(body, to_u32(p.newPos - runningNew));
    body.insert(body.end(), neu + runningNew, neu + p.newPos);
    if (p.plain) {
      plainAt.emplace_back(headerAt, p.length);
    } else {
      const uint8_t* o = old + p.oldPos;
      const uint8_t* n = neu + p.newPos;
      for (size_t i = 0; i < p.length; ++i) body.push_back(static_cast<uint8_t>(n[i] - o[i]));
    }
    runningOld = target + to_u32(p.length);
    runningNew = p.newPos + p.length;
  }
  if (tailCover) {
    append_packed(body, 0);
    append_cover_tag(body, false, false, 0);
    append_packed(body, to_u32(newSize - runningNew));
    body.insert(body.end(), neu + runningNew, neu + newSize);
  }

  // The applier copies plain pieces in chunks as large as its last body refill. The last
  // refill is short, so big plain copies described in it would go in tiny steps; zero bytes
  // after the last cover (ignored by the applier) make that refill a full one.
  if (options.readBlock != 0) {
    size_t tail = body.size() % options.readBlock;
    if (tail != 0) {
      size_t tailStart = body.size() - tail;
      size_t plainInTail = 0;
      for (const auto& [at, length] : plainAt)
        if (at >= tailStart) plainInTail += length;
      if (plainInTail / tail > options.padCallLimit)
        body.resize(body.size() + options.readBlock - tail, 0);
    }
  }
  return body;
}

}  // namespace hldiff
