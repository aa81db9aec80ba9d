// A C library without heap settings: its heap is left as it is.
#include "tools/mkpatch/heap.h"

namespace mkpatch {

void tune_heap() {}

}  // namespace mkpatch
