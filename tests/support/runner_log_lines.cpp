#include "tests/support/runner_log_lines.h"

#include "tests/support/file_io.h"
#include "tests/support/text_pattern.h"

namespace hl_test {

std::vector<std::string> log_messages(const std::string& logText) {
  // A message may hold a CR that some program wrote ("." would not match it).
  static const TextPattern stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ([\s\S]*)$)");
  std::vector<std::string> messages;
  for (const std::string& line : lines_of(logText)) {
    std::vector<std::string> groups;
    messages.push_back(stamped.matches(line, &groups) ? groups[1] : "?" + line);
  }
  return messages;
}

}  // namespace hl_test
