// Operations on the entries of the data folder, which any process of the user may have put
// there. Nothing there is ever removed or written through a name that may be a link: what stands
// at a name is first replaced, by a rename, with a file of the runner's own (a rename replaces a
// link itself on every system, while a removal can reach the link's target where links are
// emulated), and a folder in the way is set aside.
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

// Puts `source`, a file of the runner's, in the place of `target`, in one atomic, durable step;
// whatever stands at `target` is replaced itself, a folder is set aside first (and logged).
bool MoveInPlace(const std::string& source, const std::string& target, std::error_code& error);

// Removes what stands at `path` without ever reaching through it; absent is fine. False (with
// the cause) when the name stays taken.
bool RemoveEntry(const std::string& path, std::error_code& error);

// Creates a new, empty file at `path`, open for reading and writing, in place of whatever stood
// there; never writes through a link.
std::unique_ptr<os::DataFile> CreateFresh(const std::string& path, std::error_code& error);

// Removes the "<name>.fresh-<n>" files an interrupted run left in `folder`.
void RemoveLeftoverFreshFiles(const std::string& folder);

// Copies `source` from its current position to its end into `target`.
bool CopyContent(os::DataFile& source, os::DataFile& target, std::error_code& error);

// Reads the whole of `file` into `bytes`.
bool ReadWhole(os::DataFile& file, std::string& bytes, std::error_code& error);

// The last part of a path, for log lines.
std::string EntryName(const std::string& path);

}  // namespace runner
