// Process entry: one ProcessRunner does all the work; every way out returns 0.
#include "app/runner/process_runner.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  { ProcessRunner runner; }
  return 0;
}
#else
int main() {
  { ProcessRunner runner; }
  return 0;
}
#endif
