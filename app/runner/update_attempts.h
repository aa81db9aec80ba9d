// Counts kept across runs in small files of the runner's own in the data folder: how often one
// staged update has failed for a passing reason ("update.attempts"), and how often the version
// probe of one staged executable has timed out ("update.probe").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace runner {

// An update that failed this many times for a passing reason is dropped; so is a staged
// executable whose version probe timed out at this many starts in a row.
constexpr uint32_t kUpdateAttemptLimit = 3;

// One line, "<key> <count>": the count of one thing, named by its key. A file that names
// another key, or that does not read as such a line, holds no count for this one.
class KeyedCount {
 public:
  explicit KeyedCount(std::string file) : m_file(std::move(file)) {}

  // The count kept for `key`; nothing when none. A count beyond the limit reads as the limit.
  std::optional<uint32_t> Find(const std::string& key) const;
  uint32_t Read(const std::string& key) const { return Find(key).value_or(0); }
  // Keeps `count` for `key`, in place of whatever the file held.
  void Write(const std::string& key, uint32_t count);
  // Forgets the count.
  void Clear();
  // True when the file is there at all (so a key worth computing may be in it).
  bool IsKept() const;

 private:
  std::string m_file;
};

// The failed attempts at one update, named by its patch's digest.
class UpdateAttempts {
 public:
  explicit UpdateAttempts(const std::string& attemptsFile) : m_count(attemptsFile) {}

  // Counts one more failed attempt at `update` and returns the attempts so far; another update
  // starts the count afresh.
  uint32_t CountFailure(const std::string& update);
  // Records `update` as failed for good: it is dropped when it is staged again.
  void MarkFailed(const std::string& update) { m_count.Write(update, kUpdateAttemptLimit); }
  // True when `update` has used up its attempts.
  bool IsExhausted(const std::string& update) const {
    return m_count.Read(update) >= kUpdateAttemptLimit;
  }
  // True when any count is kept, so that a patch is worth hashing to look itself up.
  bool AnyKept() const { return m_count.IsKept(); }
  // Forgets the count once the update is installed or dropped.
  void Clear() { m_count.Clear(); }

 private:
  KeyedCount m_count;
};

}  // namespace runner
