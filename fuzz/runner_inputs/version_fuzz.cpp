// The version probe's pure steps on any probe output: cutting the version text, SplitVersion
// (with "." and with a delimiter from the input) and the comparison. SplitVersion may raise only
// the two errors of the text-to-integer rule; the comparison must be irreflexive and asymmetric.
//
// Input: u8 installed output length, the installed probe output, u8 delimiter length, the
// delimiter, then the staged probe output.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/runner/version_probe.h"
#include "fuzz/common/fuzz_input.h"

namespace {

std::string as_text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The cut's own guarantees, whatever the output holds.
std::string checked_cut(const std::string& output) {
  const std::string text = runner::CutVersionText(output);
  if (text.size() > 37) abort();
  if (output.size() > 49 && !text.empty()) abort();
  // A line feed can stay in the text only when the first one stands before the cut.
  if (text.find('\n') != std::string::npos && output.find('\n') >= 12) abort();
  if (!text.empty() && output.compare(12, text.size(), text) != 0) abort();
  return text;
}

void split_any(const std::string& text, const std::string& delimiter) {
  try {
    const std::vector<int> parts = runner::SplitVersion(text, delimiter);
    if (parts.empty()) abort();
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr_fuzz::FuzzInput in(data, size);
  const std::string installedOutput = as_text(in.bytes(in.u8()));
  const std::string delimiter = as_text(in.bytes(in.u8() % 4));
  const std::string stagedOutput = as_text(in.rest());

  const std::string installedText = checked_cut(installedOutput);
  const std::string stagedText = checked_cut(stagedOutput);
  split_any(stagedText, ".");
  split_any(stagedOutput, delimiter);

  const std::optional<std::vector<int>> installed = runner::ParseVersion(installedText);
  const std::optional<std::vector<int>> staged = runner::ParseVersion(stagedText);
  if (stagedText.empty() && staged) abort();
  if (!installed || !staged) return 0;
  if (runner::InstalledVersionWins(*installed, *installed)) abort();
  if (runner::InstalledVersionWins(*installed, *staged) &&
      runner::InstalledVersionWins(*staged, *installed))
    abort();
  return 0;
}
