#include "app/runner/program.h"

#include "app/runner/process_runner.h"

namespace runner {

int RunProgram() {
  { ProcessRunner runner; }
  return 0;
}

}  // namespace runner
