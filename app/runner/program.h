// The whole program, as the system's entry point (app/runner/os/entry_*.cpp) runs it.
#pragma once

namespace runner {

// One ProcessRunner does all the work; every way out returns 0.
int RunProgram();

}  // namespace runner
