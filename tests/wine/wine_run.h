// Running the Windows programs of a MinGW build under Wine from a Linux test program.
#ifndef HL_TEST_WINE_RUN_H
#define HL_TEST_WINE_RUN_H

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process_capture.h"

namespace hl_test {

// Windows path of a Unix path: Wine maps drive Z: to the root folder.
std::string wine_path(const std::filesystem::path& unixPath);

// The command line that runs a Windows program and its arguments under Wine ($QR_WINE in front).
std::vector<std::string> wine_command(const std::vector<std::string>& args);

// Runs a Windows program under Wine and captures what it printed.
Captured run_under_wine(const std::vector<std::string>& args, const ChildOptions& options = {});

}  // namespace hl_test

#endif
