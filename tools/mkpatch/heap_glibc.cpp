// The GNU C library's heap, tuned for mkpatch's steps.
#include "tools/mkpatch/heap.h"

#include <malloc.h>

namespace mkpatch {

// The suffix array, the bodies and the coders' tables are freed between the steps; taken from
// the system one by one, they go back to it when freed instead of staying in the heap as the peak
// of one step under the next.
void tune_heap() { mallopt(M_MMAP_THRESHOLD, 256 << 10); }

}  // namespace mkpatch
