#include "tests/support/text_pattern.h"

#include <regex>

namespace hl_test {

struct TextPattern::Compiled {
  std::regex regex;
};

namespace {

void keep_groups(const std::smatch& match, std::vector<std::string>* groups) {
  if (groups == nullptr) return;
  groups->clear();
  for (const auto& group : match) groups->push_back(group.str());
}

}  // namespace

TextPattern::TextPattern(const std::string& pattern)
    : compiled_(new Compiled{std::regex(pattern)}) {}

TextPattern::~TextPattern() = default;

bool TextPattern::matches(const std::string& text, std::vector<std::string>* groups) const {
  std::smatch match;
  const bool matched = std::regex_match(text, match, compiled_->regex);
  keep_groups(match, groups);
  return matched;
}

bool TextPattern::found_in(const std::string& text, std::vector<std::string>* groups,
                           std::size_t* position) const {
  std::smatch match;
  const bool found = std::regex_search(text, match, compiled_->regex);
  keep_groups(match, groups);
  if (found && position != nullptr) *position = static_cast<std::size_t>(match.position(0));
  return found;
}

}  // namespace hl_test
