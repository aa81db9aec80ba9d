// Regular expressions for the suites. std::regex costs every source that instantiates it seconds
// of compile time, many more under the sanitizers, so it is instantiated in one source only.
#ifndef HL_TEST_TEXT_PATTERN_H
#define HL_TEST_TEXT_PATTERN_H

#include <memory>
#include <string>
#include <vector>

namespace hl_test {

// An ECMAScript regular expression.
class TextPattern {
 public:
  explicit TextPattern(const std::string& pattern);
  ~TextPattern();

  // Whether all of text matches; the groups' texts, the whole match first, in groups if given.
  bool matches(const std::string& text, std::vector<std::string>* groups = nullptr) const;
  // Whether some part of text matches; the first match's groups and its position if asked.
  bool found_in(const std::string& text, std::vector<std::string>* groups = nullptr,
                std::size_t* position = nullptr) const;

 private:
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace hl_test

#endif
