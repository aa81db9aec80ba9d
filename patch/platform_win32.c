/* The engine's system calls on Windows: paths go through UTF-16 to the wide calls. */
#include "patch/hl_platform.h"
#include "patch/hl_platform_win32.h"

#include <errno.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

/* Wide buffer for a converted path, terminator included. */
#define HL_PLATFORM_WIDE_PATH_CHARS 2048

/* The last error of a failed conversion as an errno value. */
static int hl_platform_conversion_errno(void) {
  return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ERANGE : EILSEQ;
}

int hl_platform_utf16_from_utf8(const char* text, int size, wchar_t* wide, int room) {
  int length;
  if (size == 0) {
    return 0;
  }
  length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, wide, room);
  if (length <= 0) {
    errno = hl_platform_conversion_errno();
    return -1;
  }
  return length;
}

int hl_platform_utf8_from_utf16(const wchar_t* wide, int size, char* text, int room) {
  int length;
  if (size == 0) {
    return 0;
  }
  /* The UTF-8 code page takes neither a default character nor a loss report. */
  length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, size, text, room, NULL, NULL);
  if (length <= 0) {
    errno = hl_platform_conversion_errno();
    return -1;
  }
  return length;
}

/* path as a wide path in widePath; false with errno ENAMETOOLONG or EILSEQ. */
static hl_bool hl_platform_wide_path(const char* path,
                                     wchar_t widePath[HL_PLATFORM_WIDE_PATH_CHARS]) {
  if (hl_platform_utf16_from_utf8(path, -1, widePath, HL_PLATFORM_WIDE_PATH_CHARS) < 0) {
    if (errno == ERANGE) {
      errno = ENAMETOOLONG;
    }
    return hl_FALSE;
  }
  return hl_TRUE;
}

FILE* hl_platform_open(const char* path, const char* mode) {
  wchar_t widePath[HL_PLATFORM_WIDE_PATH_CHARS];
  wchar_t wideMode[8];
  size_t i;
  FILE* file = NULL;
  errno_t openError;

  if (!hl_platform_wide_path(path, widePath)) {
    return NULL;
  }
  /* Mode strings are short ASCII. */
  for (i = 0; mode[i] != '\0' && i + 1 < sizeof(wideMode) / sizeof(wideMode[0]); ++i) {
    wideMode[i] = (wchar_t)(unsigned char)mode[i];
  }
  wideMode[i] = L'\0';
  openError = _wfopen_s(&file, widePath, wideMode);
  if (openError != 0) {
    errno = openError;
    return NULL;
  }
  return file;
}

int hl_platform_seek(FILE* file, uint64_t position) {
  return _fseeki64(file, (__int64)position, SEEK_SET);
}

int64_t hl_platform_size(FILE* file) {
  __int64 size;
  if (_fseeki64(file, 0, SEEK_END) != 0) {
    return -1;
  }
  size = _ftelli64(file);
  if (size < 0) {
    return -1;
  }
  if (_fseeki64(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return (int64_t)size;
}

int64_t hl_platform_regular_size(FILE* file) {
  struct _stati64 info;
  if (_fstati64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG ||
      info.st_size < 0) {
    return -1;
  }
  return (int64_t)info.st_size;
}

/* The runtime has no positioned read: its own seek and read keep errno as stdio would set it.
 * They move the descriptor, which stdio never reads for a stream read this way. */
int64_t hl_platform_read_at(FILE* file, uint64_t position, hl_byte* buffer, size_t size) {
  int descriptor = _fileno(file);
  int got;
  if (_lseeki64(descriptor, (__int64)position, SEEK_SET) < 0) {
    return -1;
  }
  got = _read(descriptor, buffer, (unsigned int)size);
  return got < 0 ? -1 : (int64_t)got;
}

int64_t hl_platform_write(FILE* file, const hl_byte* data, size_t size) {
  return (int64_t)_write(_fileno(file), data, (unsigned int)size);
}

hl_bool hl_platform_same_file(FILE* file, const char* path) {
  wchar_t widePath[HL_PLATFORM_WIDE_PATH_CHARS];
  BY_HANDLE_FILE_INFORMATION openInfo;
  BY_HANDLE_FILE_INFORMATION pathInfo;
  HANDLE other;
  BOOL known;

  if (!GetFileInformationByHandle((HANDLE)_get_osfhandle(_fileno(file)), &openInfo)) {
    return hl_FALSE;
  }
  if (!hl_platform_wide_path(path, widePath)) {
    return hl_FALSE;
  }
  other = CreateFileW(widePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (other == INVALID_HANDLE_VALUE) {
    return hl_FALSE;
  }
  known = GetFileInformationByHandle(other, &pathInfo);
  CloseHandle(other);
  return known && openInfo.dwVolumeSerialNumber == pathInfo.dwVolumeSerialNumber &&
         openInfo.nFileIndexHigh == pathInfo.nFileIndexHigh &&
         openInfo.nFileIndexLow == pathInfo.nFileIndexLow;
}

double hl_platform_clock_seconds(void) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart != 0 &&
      QueryPerformanceCounter(&counter)) {
    return (double)counter.QuadPart / (double)frequency.QuadPart;
  }
  return (double)GetTickCount() / 1000.0;
}

/* The narrow stream converts wide text to the console's code page itself. A path that does not
 * convert is printed as its bytes. */
void hl_platform_print_path(FILE* out, const char* path) {
  wchar_t widePath[HL_PLATFORM_WIDE_PATH_CHARS];
  if (hl_platform_wide_path(path, widePath)) {
    fprintf(out, "%ls", widePath);
    return;
  }
  fprintf(out, "%s", path);
}
