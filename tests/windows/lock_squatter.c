/* Takes the runner's lock name with a kernel object of another kind (an event), so that the
 * runner's CreateMutexW fails, and holds it until the file named by its argument exists.
 * Prints "held" once the event exists. */
#include <windows.h>

#include <stdio.h>

#include "app/runner/lock_name.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fputs("usage: lock_squatter.exe RELEASE-FILE\n", stderr);
    return 2;
  }
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, L"" QR_RUNNER_LOCK_NAME);
  if (event == NULL) {
    fprintf(stderr, "CreateEventW failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  puts("held");
  fflush(stdout);
  while (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) Sleep(10);
  CloseHandle(event);
  return 0;
}
