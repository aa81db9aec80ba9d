// POSIX side of the data-folder files: lstat, O_NOFOLLOW | O_NONBLOCK opens checked with fstat,
// O_EXCL creation and statvfs.
#include "app/runner/os/os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace runner::os {
namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

bool IsNotFound(int code) { return code == ENOENT || code == ENOTDIR; }

}  // namespace

struct DataFile::Handle {
  int fd = -1;
  ~Handle() {
    if (fd >= 0) ::close(fd);
  }
};

EntryKind ExamineEntry(const std::string& path, std::error_code& error) {
  error.clear();
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (IsNotFound(errno)) return EntryKind::absent;
    error = LastError();
    return EntryKind::unexaminable;
  }
  return S_ISREG(info.st_mode) ? EntryKind::regularFile : EntryKind::other;
}

DataFile::DataFile(std::unique_ptr<Handle> handle, std::string path)
    : m_handle(std::move(handle)), m_path(std::move(path)) {}

DataFile::~DataFile() = default;

std::unique_ptr<DataFile> DataFile::OpenRegular(const std::string& path, bool forWriting, EntryKind& kind,
                                                std::error_code& error) {
  error.clear();
  auto handle = std::make_unique<Handle>();
  const int access = forWriting ? O_RDWR : O_RDONLY;
  handle->fd = ::open(path.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (handle->fd < 0) {
    const int code = errno;
    error = std::error_code(code, std::generic_category());
    // O_NOFOLLOW answers a link with ELOOP; a folder opened for writing answers EISDIR.
    if (IsNotFound(code)) kind = EntryKind::absent;
    else if (code == ELOOP || code == EISDIR || code == ENXIO) kind = ExamineEntry(path, error) == EntryKind::absent
                                                                           ? EntryKind::absent
                                                                           : EntryKind::other;
    else kind = EntryKind::unexaminable;
    if (kind == EntryKind::other) error = std::make_error_code(std::errc::invalid_argument);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(handle->fd, &info) != 0) {
    error = LastError();
    kind = EntryKind::unexaminable;
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    error = std::make_error_code(std::errc::invalid_argument);
    kind = EntryKind::other;
    return nullptr;
  }
  // Reads of a regular file never block; the flag only kept a FIFO from holding the open.
  ::fcntl(handle->fd, F_SETFL, ::fcntl(handle->fd, F_GETFL) & ~O_NONBLOCK);
  kind = EntryKind::regularFile;
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

std::unique_ptr<DataFile> DataFile::CreateNew(const std::string& path, std::error_code& error) {
  error.clear();
  auto handle = std::make_unique<Handle>();
  handle->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
  if (handle->fd < 0) {
    error = LastError();
    return nullptr;
  }
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

uint64_t DataFile::Size(std::error_code& error) const {
  error.clear();
  struct stat info {};
  if (::fstat(m_handle->fd, &info) != 0) {
    error = LastError();
    return 0;
  }
  return static_cast<uint64_t>(info.st_size);
}

bool DataFile::Read(void* buffer, size_t& count, std::error_code& error) {
  error.clear();
  for (;;) {
    const ssize_t got = ::read(m_handle->fd, buffer, count);
    if (got >= 0) {
      count = static_cast<size_t>(got);
      return true;
    }
    if (errno != EINTR) {
      error = LastError();
      count = 0;
      return false;
    }
  }
}

bool DataFile::Write(const void* buffer, size_t count, std::error_code& error) {
  error.clear();
  const char* next = static_cast<const char*>(buffer);
  while (count > 0) {
    const ssize_t put = ::write(m_handle->fd, next, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error = put < 0 ? LastError() : std::make_error_code(std::errc::no_space_on_device);
      return false;
    }
    next += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

bool DataFile::Rewind(std::error_code& error) {
  error.clear();
  if (::lseek(m_handle->fd, 0, SEEK_SET) == 0) return true;
  error = LastError();
  return false;
}

bool DataFile::FlushToDisk(std::error_code& error) {
  error.clear();
  if (::fsync(m_handle->fd) == 0) return true;
  error = LastError();
  return false;
}

void DataFile::CopyExecutePermissionFrom(const std::string& model) {
  struct stat modelInfo {};
  struct stat own {};
  if (::stat(model.c_str(), &modelInfo) != 0 || ::fstat(m_handle->fd, &own) != 0) return;
  const mode_t execute = modelInfo.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH);
  ::fchmod(m_handle->fd, (own.st_mode & 07777) | execute);
}

// The descriptor's own entry under /proc names the open file, not whatever the path names now.
std::string DataFile::PathWhileOpen() const {
  const std::string viaDescriptor = "/proc/self/fd/" + std::to_string(m_handle->fd);
  struct stat viaProc {};
  struct stat own {};
  if (::stat(viaDescriptor.c_str(), &viaProc) == 0 && ::fstat(m_handle->fd, &own) == 0 &&
      viaProc.st_dev == own.st_dev && viaProc.st_ino == own.st_ino)
    return viaDescriptor;
  return m_path;
}

std::optional<uint64_t> FreeSpace(const std::string& folder) {
  struct statvfs info {};
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

}  // namespace runner::os
