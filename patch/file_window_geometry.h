/* Geometry of the old file's read window (see TFileInWindow in file_stream.h). The patch creator
 * plans its covers against the same numbers, so a change here changes what mkpatch makes: the
 * window is an interface between the two, not a detail of the applier. */
#ifndef HL_FILE_WINDOW_GEOMETRY_H
#define HL_FILE_WINDOW_GEOMETRY_H

#include <stddef.h>

/* Run blocks: how many, their largest size and the size a run starts with after a jump. */
#define FILE_IN_WINDOW_RUNS 2
#define FILE_IN_WINDOW_RUN_SIZE ((size_t)1 << 18)
#define FILE_IN_WINDOW_RUN_START ((size_t)1 << 14)
/* The cache of aligned pieces that takes short jumps: piece size, ways per set, pieces. */
#define FILE_IN_WINDOW_PIECE_SIZE ((size_t)1 << 9)
#define FILE_IN_WINDOW_PIECE_WAYS 4
#define FILE_IN_WINDOW_PIECES 2048
/* How many recent range ends are watched for a range that goes on from one of them. */
#define FILE_IN_WINDOW_TRACKS 4

#endif
