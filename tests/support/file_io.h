// Whole-file reads and writes for tests. Each throws std::runtime_error when the file cannot be
// opened or written, so a missing file never passes for an empty one.
#ifndef HL_TEST_FILE_IO_H
#define HL_TEST_FILE_IO_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace hl_test {

std::vector<uint8_t> read_file(const std::filesystem::path& path);
std::string read_text(const std::filesystem::path& path);
// For files a run may rightly leave unwritten (a log, a journal): "" when there is no such file.
std::string read_text_if_present(const std::filesystem::path& path);
// The lines of a text, without their '\n'.
std::vector<std::string> lines_of(const std::string& text);
// Replaces the file's contents.
void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& data);
void write_text(const std::filesystem::path& path, const std::string& text);

}  // namespace hl_test

#endif
