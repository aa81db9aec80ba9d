/* 64-bit file positions and the POSIX interfaces from the C library. The sources that open files
 * include this before anything else: the macros count only ahead of the first system header. */
#ifndef FILE_FEATURES_H
#define FILE_FEATURES_H

#ifndef _WIN32
#define _FILE_OFFSET_BITS 64
#define _POSIX_C_SOURCE 200809L
#endif

#endif
