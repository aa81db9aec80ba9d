/* Basic types shared by the patch engine and its decompressor plugins. */
#ifndef HL_TYPES_H
#define HL_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Truth value of the low-level operations: 0 is false, anything else true. */
typedef int hl_bool;
#define hl_TRUE 1
#define hl_FALSE 0

typedef unsigned char hl_byte;

/* A body reader (also the raw reader of a patch file): on entry *count holds the number of
 * bytes wanted; the reader places up to that many at buf, stores the number placed in *count
 * and returns true. Fewer than wanted only when the data ends. False means no data came. */
typedef hl_bool (*hl_read_fn)(void* handle, hl_byte* buf, uint32_t* count);

#ifdef __cplusplus
}
#endif

#endif
