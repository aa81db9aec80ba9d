// Turns covers into the patch body: per cover its length, tag, preceding literal run and,
// unless the bytes are unchanged, one difference byte per new byte.
#ifndef DIFF_BODY_WRITER_H
#define DIFF_BODY_WRITER_H

#include <vector>

#include "diff/cover.h"

namespace hldiff {

struct BodyOptions {
  // Unchanged runs inside a cover at least this long become plain-copy covers of their own;
  // 0 keeps covers whole (a cover with no difference at all is always a plain copy).
  size_t plainRunMin = 0;
  // The refill size of the applier's body input; the body is padded when its last, short
  // refill would make the plain copies behind it crawl. 0 never pads.
  size_t readBlock = 0;
  // Padding is added when the plain copies behind the last refill would take more than this
  // many old-file reads.
  size_t padCallLimit = 64;
};

// covers must be ascending and disjoint in NEW and lie inside OLD.
std::vector<uint8_t> write_body(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                size_t newSize, const std::vector<Cover>& covers,
                                const BodyOptions& options);

}  // namespace hldiff

#endif
