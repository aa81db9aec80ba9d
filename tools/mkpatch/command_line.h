// The command line of mkpatch.
#ifndef TOOLS_MKPATCH_COMMAND_LINE_H
#define TOOLS_MKPATCH_COMMAND_LINE_H

#include <optional>
#include <string>
#include <vector>

#include "diff/body_encoder.h"

namespace mkpatch {

struct CommandLine {
  std::string oldPath, newPath, patchPath;
  hldiff::EncodeOptions encode;
  bool verify = true;
  bool quiet = false;
  bool help = false;         // -h / --help: print the usage and kHelp, and stop
  bool version = false;      // --version: print the version and stop
  std::string manifestPath;  // --manifest FILE: also write update.json there
  bool force = false;        // --force: the manifest asks for a restart
};

// The usage lines, printed after a command-line error and at the top of the help.
extern const char* const kUsage;
// The rest of the help: each option explained, and the exit codes.
extern const char* const kHelp;

// Parses argv (without the program name); on a bad command line sets error and returns nothing.
std::optional<CommandLine> parse_command_line(const std::vector<std::string>& args,
                                              std::string& error);

}  // namespace mkpatch

#endif
