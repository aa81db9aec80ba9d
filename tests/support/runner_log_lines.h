// The runner's log lines as they read after the timestamp, for the runner's suites on Linux and
// under Wine. Other programs read them: they are kept byte for byte.
#ifndef HL_TEST_RUNNER_LOG_LINES_H
#define HL_TEST_RUNNER_LOG_LINES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace hl_test {

// The messages of a log's text, one per line, with the timestamp cut off; a line without a valid
// timestamp is kept whole behind "?".
std::vector<std::string> log_messages(const std::string& logText);

// Every start of the application: the executable started, in the system's own spelling.
inline std::string exe_path_line(const std::filesystem::path& exe) {
  return "INFO [default] exe path: " + exe.string();
}

// The version check removed the staged executable for the reason `why`.
inline std::string staged_removed_line(const std::string& why) {
  return "INFO [default] staged Quorlin.exe removed: " + why;
}

// The version check gave no verdict on the staged executable, for the reason `why`.
inline std::string staged_kept_line(const std::string& why) {
  return "INFO [default] staged Quorlin.exe kept for a later start: " + why;
}

// A manifest asked for an immediate restart, but the update it came with was not installed.
inline const std::string kForceNotHonouredLine =
    "INFO [default] force not honoured: the update was not installed";

// An update given up for the reason `why`; its files are consumed.
inline std::string update_dropped_line(const std::string& why) {
  return "INFO [default] " + why + ": update dropped";
}

// An update not installed this time for the reason `why`, at its `attempt` of 3; its files stay.
inline std::string update_kept_line(const std::string& why, int attempt) {
  return "INFO [default] " + why + ": update kept for a later run (attempt " +
         std::to_string(attempt) + " of 3)";
}

// The patch driver refused the patch with `result`.
inline std::string patch_failed_line(int result) {
  return update_dropped_line("patch failed with result " + std::to_string(result));
}

// The patch needs more memory than the runner lets it have.
inline std::string memory_refused_line(uint64_t need) {
  return update_dropped_line("patch needs " + std::to_string(need) +
                             " bytes of memory, more than the 256 MiB allowed");
}

// The manifest's base digest is not that of the executable that ran.
inline const std::string kUpdateDoesNotFitLine =
    update_dropped_line("the update does not fit the executable that ran");

// The data-folder entry `name` could not be removed and was renamed to `name`.aside-1.
inline std::string set_aside_line(const std::string& name) {
  return "INFO [default] " + name + " cannot be removed: set aside as " + name + ".aside-1";
}

}  // namespace hl_test

#endif
