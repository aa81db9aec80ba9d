// The hpatchi command over arguments in UTF-8, which the entry of each system hands it.
#pragma once

namespace hpatchi_tool {

// argv[0] is the program; returns the exit code.
int run(int argc, char** argv);

}  // namespace hpatchi_tool
