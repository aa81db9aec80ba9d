#include "tests/support/runner_log_lines.h"

#include <regex>

#include "tests/support/file_io.h"

namespace hl_test {

std::vector<std::string> log_messages(const std::string& logText) {
  static const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (.*)$)");
  std::vector<std::string> messages;
  for (const std::string& line : lines_of(logText)) {
    std::smatch match;
    messages.push_back(std::regex_match(line, match, stamped) ? match[1].str() : "?" + line);
  }
  return messages;
}

}  // namespace hl_test
