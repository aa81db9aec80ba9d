// Process entry on POSIX.
#include "app/runner/os/os.h"
#include "app/runner/program.h"

// Runs before the static initialisation of the rest of the program, so that no file it opens
// can take the number of a closed standard stream.
__attribute__((constructor(101))) static void PrepareBeforeStaticInitialisation() {
  runner::os::PrepareProcess();
}

int main() { return runner::RunProgram(); }
