// Operations on the entries of the data folder, which any process of the user may have put
// there: nothing is followed through a link, what cannot be removed is set aside.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "app/runner/os/os.h"

namespace runner {

// Moves the entry at `path`, whatever it is, to a free name beside it, "<name>.aside-<n>";
// returns that path, or nothing (with the cause) when it cannot be moved.
std::optional<std::string> SetAside(const std::string& path, std::error_code& error);

// Takes away what stands at `path`: a file, a link (never its target) or an empty folder is
// removed, anything else is set aside. False (with the cause) when the name stays taken.
bool ClearEntry(const std::string& path, std::error_code& error);

// Creates a new, empty file at `path` after clearing the name; never writes through a link.
std::unique_ptr<os::DataFile> CreateFresh(const std::string& path, std::error_code& error);

// Copies `source` from its current position to its end into `target`.
bool CopyContent(os::DataFile& source, os::DataFile& target, std::error_code& error);

// Reads the whole of `file` into `bytes`.
bool ReadWhole(os::DataFile& file, std::string& bytes, std::error_code& error);

// The last part of a path, for log lines.
std::string EntryName(const std::string& path);

}  // namespace runner
