// How mkpatch asks the C library's heap to behave, where the library lets it.
#ifndef TOOLS_MKPATCH_HEAP_H
#define TOOLS_MKPATCH_HEAP_H

namespace mkpatch {

// Called once, before the first large allocation.
void tune_heap();

}  // namespace mkpatch

#endif
