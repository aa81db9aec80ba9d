// Running the cross-built Windows programs under Wine from a Linux test program. The Wine to use
// comes from QR_WINE, which CTest sets with the Wine prefix's environment.
#ifndef HL_TEST_WINE_RUN_H
#define HL_TEST_WINE_RUN_H

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process_capture.h"

namespace hl_test {

// Windows path of a Unix path: Wine maps drive Z: to the root folder.
std::string wine_path(const std::filesystem::path& unixPath);

// Runs a Windows program ($QR_WINE in front) and captures what it printed.
Captured run_under_wine(const std::vector<std::string>& args, const ChildOptions& options = {});

}  // namespace hl_test

#endif
