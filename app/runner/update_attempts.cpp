#include "app/runner/update_attempts.h"

#include <memory>
#include <system_error>

#include "app/runner/data_folder.h"
#include "app/runner/os/os.h"

namespace runner {
namespace {

// Far more than any line of a digest and a count.
constexpr uint64_t kLongestLine = 256;

// The count after "<key> " up to the line end: decimal digits only, capped at the limit.
bool ParseCount(const std::string& text, std::string::size_type start, uint32_t& count) {
  std::string::size_type end = text.find('\n', start);
  if (end == std::string::npos) end = text.size();
  if (end == start) return false;
  count = 0;
  for (std::string::size_type i = start; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (count < kUpdateAttemptLimit) count = count * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (count > kUpdateAttemptLimit) count = kUpdateAttemptLimit;
  return true;
}

}  // namespace

std::optional<uint32_t> KeyedCount::Find(const std::string& key) const {
  std::error_code error;
  os::EntryKind kind;
  std::unique_ptr<os::DataFile> file = os::DataFile::OpenRegular(m_file, false, kind, error);
  std::string text;
  if (!file || !ReadWhole(*file, text, error, kLongestLine)) return std::nullopt;
  const std::string prefix = key + " ";
  uint32_t count = 0;
  if (text.compare(0, prefix.size(), prefix) != 0 || !ParseCount(text, prefix.size(), count))
    return std::nullopt;
  return count;
}

void KeyedCount::Write(const std::string& key, uint32_t count) {
  const std::string text = key + " " + std::to_string(count) + "\n";
  std::error_code error;
  if (std::unique_ptr<os::DataFile> file = CreateFresh(m_file, false, error))
    file->Write(text.data(), text.size(), error);
}

void KeyedCount::Clear() {
  std::error_code ignored;
  RemoveEntry(m_file, ignored);
}

bool KeyedCount::IsKept() const {
  std::error_code ignored;
  return os::ExamineEntry(m_file, ignored) != os::EntryKind::absent;
}

uint32_t UpdateAttempts::CountFailure(const std::string& update) {
  const uint32_t attempts = m_count.Read(update) + 1;
  m_count.Write(update, attempts);
  return attempts;
}

}  // namespace runner
