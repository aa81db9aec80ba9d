/* UTF-8 and the UTF-16 that the wide Win32 calls take, for the engine, the Windows programs and
 * the runner's OS layer alike (platform_win32.c). No ANSI code page is ever involved: it cannot
 * spell every user's file names. Windows only; not installed. */
#ifndef HL_PLATFORM_WIN32_H
#define HL_PLATFORM_WIN32_H

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Converts size bytes of UTF-8 at text (-1: up to its terminator, which is converted too) into
 * at most room UTF-16 units at wide. Returns the units written, or with room 0 the units needed;
 * 0 for an empty text. -1 with errno EILSEQ when text is no valid UTF-8, ERANGE when room is too
 * small. */
int hl_platform_utf16_from_utf8(const char* text, int size, wchar_t* wide, int room);

/* The same from size UTF-16 units to UTF-8 bytes; EILSEQ for an unpaired surrogate, which no
 * UTF-8 can carry. */
int hl_platform_utf8_from_utf16(const wchar_t* wide, int size, char* text, int room);

#ifdef __cplusplus
}
#endif

#endif
