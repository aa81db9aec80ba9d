// POSIX side of the data-folder files: lstat, O_NOFOLLOW | O_NONBLOCK opens checked with fstat,
// O_EXCL creation, rename with a flushed folder, flock and statvfs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/runner/os/descriptor_posix.h"
#include "app/runner/os/os.h"

namespace runner::os {
namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

bool IsNotFound(int code) { return code == ENOENT || code == ENOTDIR; }

std::string ParentFolder(const std::string& path) {
  const std::string::size_type cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? std::string("/") : path.substr(0, cut);
}

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// Opens `path` without following a link or waiting on a FIFO, and checks what was opened: a
// regular file with one name only when `singleName`. Nothing (with `kind` and `error`) otherwise.
int OpenChecked(const std::string& path, int flags, mode_t mode, bool singleName, EntryKind& kind,
                std::error_code& error) {
  error.clear();
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) {
    const int code = errno;
    error = std::error_code(code, std::generic_category());
    // O_NOFOLLOW answers a link with ELOOP; a folder opened for writing answers EISDIR.
    if (IsNotFound(code))
      kind = EntryKind::absent;
    else if (code == ELOOP || code == EISDIR || code == ENXIO)
      kind = ExamineEntry(path, error) == EntryKind::absent ? EntryKind::absent : EntryKind::other;
    else
      kind = EntryKind::unexaminable;
    if (kind == EntryKind::other) error = std::make_error_code(std::errc::invalid_argument);
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = LastError();
    kind = EntryKind::unexaminable;
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(info.st_mode) || (singleName && info.st_nlink > 1)) {
    error = std::make_error_code(std::errc::invalid_argument);
    kind = EntryKind::other;
    ::close(fd);
    return -1;
  }
  // Reads of a regular file never block; the flag only kept a FIFO from holding the open.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  kind = EntryKind::regularFile;
  return fd;
}

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

std::unique_ptr<DataFile> DataFile::OpenRegular(const std::string& path, bool forWriting,
                                                EntryKind& kind, std::error_code& error) {
  auto handle = std::make_unique<Handle>();
  handle->fd =
      OpenChecked(path, forWriting ? O_RDWR : O_RDONLY, 0, /*singleName=*/false, kind, error);
  if (handle->fd < 0) return nullptr;
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

std::unique_ptr<DataFile> DataFile::CreateNew(const std::string& path, bool executable,
                                              std::error_code& error) {
  error.clear();
  auto handle = std::make_unique<Handle>();
  const mode_t mode = executable ? 0700 : 0600;
  handle->fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
  if (handle->fd < 0) {
    error = LastError();
    return nullptr;
  }
  // The umask may have taken the owner's own rights away; the file is the runner's.
  ::fchmod(handle->fd, mode);
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

std::unique_ptr<DataFile> DataFile::OpenLog(const std::string& path, EntryKind& kind,
                                            std::error_code& error) {
  auto handle = std::make_unique<Handle>();
  handle->fd =
      OpenChecked(path, O_WRONLY | O_APPEND | O_CREAT, 0600, /*singleName=*/true, kind, error);
  if (handle->fd < 0) return nullptr;
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

bool DataFile::ReadAt(uint64_t position, void* buffer, size_t& count, std::error_code& error) {
  error.clear();
  size_t total = 0;
  while (total < count) {
    const ssize_t got = ::pread(m_handle->fd, static_cast<char*>(buffer) + total, count - total,
                                static_cast<off_t>(position + total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = LastError();
      count = 0;
      return false;
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  count = total;
  return true;
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

std::optional<FileIdentity> DataFile::Identity(std::error_code& error) const {
  error.clear();
  struct stat info {};
  if (::fstat(m_handle->fd, &info) == 0) return IdentityOf(info);
  error = LastError();
  return std::nullopt;
}

bool DataFile::MoveTo(const std::string& target, std::error_code& error) {
  if (!RenameEntry(m_path, target, error)) return false;
  m_path = target;
  return true;
}

std::FILE* DataFile::OpenStdio(const char* mode, std::error_code& error) const {
  error.clear();
  const int duplicate = ::fcntl(m_handle->fd, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) {
    error = LastError();
    return nullptr;
  }
  std::FILE* stream = ::fdopen(duplicate, mode);
  if (stream == nullptr) {
    error = LastError();
    ::close(duplicate);
  }
  return stream;
}

std::optional<FileIdentity> IdentityAt(const std::string& path, std::error_code& error) {
  error.clear();
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (!IsNotFound(errno)) error = LastError();
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  return IdentityOf(info);
}

bool PathExists(const std::string& path, std::error_code& error) {
  error.clear();
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return true;
  if (IsNotFound(errno)) return false;
  error = LastError();
  return true;
}

bool CreateFolders(const std::string& folder, std::error_code& error) {
  error.clear();
  if (folder.empty()) return true;
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    error = std::make_error_code(std::errc::not_a_directory);
    return false;
  }
  const std::string parent = ParentFolder(folder);
  if (parent != folder && parent != "." && !CreateFolders(parent, error)) return false;
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
  error = LastError();
  return false;
}

std::optional<std::vector<std::string>> ListFolder(const std::string& folder,
                                                   std::error_code& error) {
  error.clear();
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) {
    error = LastError();
    return std::nullopt;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  if (errno != 0) error = LastError();
  ::closedir(listing);
  if (error) return std::nullopt;
  return names;
}

bool RenameEntry(const std::string& source, const std::string& target, std::error_code& error) {
  error.clear();
  if (::rename(source.c_str(), target.c_str()) != 0) {
    error = LastError();
    return false;
  }
  // The rename itself must reach the disk before anything that depends on it.
  return FlushFolder(ParentFolder(target), error);
}

bool RemoveEntryItself(const std::string& path, std::error_code& error) {
  error.clear();
  if (::unlink(path.c_str()) == 0) return true;
  error = LastError();
  // unlink refuses a folder with EISDIR on Linux, EPERM elsewhere.
  if ((error == std::errc::is_a_directory || error == std::errc::operation_not_permitted) &&
      ::rmdir(path.c_str()) == 0) {
    error.clear();
    return true;
  }
  return false;
}

bool FlushFolder(const std::string& folder, std::error_code& error) {
  error.clear();
  const Descriptor directory(
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() >= 0 && ::fsync(directory.Get()) == 0) return true;
  error = LastError();
  return false;
}

// POSIX has no read-only attribute: the folder's rights decide a rename or removal.
void ClearReadOnly(const std::string&) {}

struct FileLock::Handle {
  int fd = -1;
  ~Handle() {
    if (fd >= 0) ::close(fd);
  }
};

FileLock::FileLock(std::unique_ptr<Handle> handle) : m_handle(std::move(handle)) {}

FileLock::~FileLock() = default;

std::unique_ptr<FileLock> FileLock::TryTake(const std::string& path, Outcome& outcome,
                                            EntryKind& kind, std::error_code& error) {
  outcome = Outcome::failed;
  auto handle = std::make_unique<Handle>();
  handle->fd = OpenChecked(path, O_RDWR | O_CREAT, 0600, /*singleName=*/true, kind, error);
  if (handle->fd < 0) return nullptr;
  if (::flock(handle->fd, LOCK_EX | LOCK_NB) != 0) {
    outcome = errno == EWOULDBLOCK ? Outcome::heldByAnother : Outcome::failed;
    error = LastError();
    return nullptr;
  }
  // The name may have been replaced between the open and the lock: only the file that the name
  // leads to now serialises anything.
  std::error_code ignored;
  struct stat own {};
  const std::optional<FileIdentity> named = IdentityAt(path, ignored);
  if (::fstat(handle->fd, &own) != 0 || !named || *named != IdentityOf(own)) {
    outcome = Outcome::heldByAnother;
    error = std::make_error_code(std::errc::resource_unavailable_try_again);
    return nullptr;
  }
  outcome = Outcome::taken;
  return std::unique_ptr<FileLock>(new FileLock(std::move(handle)));
}

std::optional<uint64_t> FreeSpace(const std::string& folder, std::error_code& error) {
  error.clear();
  struct statvfs info {};
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0) {
    error = LastError();
    return std::nullopt;
  }
  return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

}  // namespace runner::os
