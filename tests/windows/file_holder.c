/* Holds a file open as a virus scanner or an indexer does: reading, sharing reads only, so that
 * nobody can write, rename or remove it meanwhile. Prints "held" once it is open and lets go
 * after the given milliseconds.
 *   file_holder.exe FILE MILLISECONDS */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv) {
  HANDLE file;
  if (argc != 3) {
    fputs("usage: file_holder.exe FILE MILLISECONDS\n", stderr);
    return 2;
  }
  file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "CreateFileW failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  puts("held");
  fflush(stdout);
  Sleep((DWORD)_wtoi(argv[2]));
  CloseHandle(file);
  return 0;
}
