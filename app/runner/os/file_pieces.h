// A data file read to its end in pieces, for the digests that take their input piece by piece.
#pragma once

#include <cstddef>
#include <system_error>
#include <vector>

#include "app/runner/os/os.h"

namespace runner::os {

// Hands what `file` holds from its current position on to `take(bytes, count)`, in pieces of up
// to a mebibyte. False when a read fails (the cause in `error`) or when `take` refuses a piece,
// having said why in `error`.
template <typename Take>
bool ReadToEndInPieces(DataFile& file, std::error_code& error, Take take) {
  std::vector<unsigned char> buffer(std::size_t(1) << 20);
  for (;;) {
    std::size_t count = buffer.size();
    if (!file.Read(buffer.data(), count, error)) return false;
    if (count == 0) return true;
    if (!take(buffer.data(), count)) return false;
  }
}

}  // namespace runner::os
