// Process entry on Windows: a GUI-subsystem program, whose four arguments are all ignored.
#include <windows.h>

#include "app/runner/os/os.h"
#include "app/runner/program.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  runner::os::PrepareProcess();
  return runner::RunProgram();
}
