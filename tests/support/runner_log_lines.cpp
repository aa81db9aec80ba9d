#include "tests/support/runner_log_lines.h"

#include <regex>

#include "tests/support/file_io.h"

namespace hl_test {

std::vector<std::string> log_messages(const std::string& logText) {
  // A message may hold a CR that some program wrote ("." would not match it).
  static const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ([\s\S]*)$)");
  std::vector<std::string> messages;
  for (const std::string& line : lines_of(logText)) {
    std::smatch match;
    messages.push_back(std::regex_match(line, match, stamped) ? match[1].str() : "?" + line);
  }
  return messages;
}

}  // namespace hl_test
