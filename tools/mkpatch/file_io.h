// Whole-file reading and writing for mkpatch, with errors that name the file.
#ifndef TOOLS_MKPATCH_FILE_IO_H
#define TOOLS_MKPATCH_FILE_IO_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace mkpatch {

struct FileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the whole file; refuses, before reading anything, a file larger than maxSize.
std::vector<uint8_t> read_file(const std::string& path, uint64_t maxSize);

void write_file(const std::string& path, const std::vector<uint8_t>& data);

// True when the file at path holds exactly data.
bool file_equals(const std::string& path, const std::vector<uint8_t>& data);

// True when both files can be read and hold the same bytes.
bool files_equal(const std::string& a, const std::string& b);

}  // namespace mkpatch

#endif
