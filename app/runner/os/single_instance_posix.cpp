// The single-instance lock on POSIX: an flock on the lock file, which the kernel releases when
// the holder ends in any way, so a file left behind (with whatever it holds) never locks out.
#include "app/runner/os/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace runner::os {
namespace {

// A file replaced again and again while it is being locked is given up on after this many tries.
constexpr int kLockAttempts = 16;

// The byte of the lock file's folder that a holding runner marks with a read lock. A runner
// whose lock file was deleted still holds its mark, so a later runner that locks a new file
// under the same name finds it there.
constexpr off_t kHolderMark = 0x7175726c;  // "qurl"

// The folder wxSingleInstanceChecker used: $HOME, or the working directory without one.
std::string LockFolder(const std::string& path) {
  if (!path.empty()) return path;
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] != '\0' ? std::string(home) : std::string(".");
}

std::string Joined(const std::string& folder, const std::string& name) {
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Opens the lock file without following a link or waiting on a special file; creates it when
// missing. A file that may only be read still takes an flock.
int OpenLockFile(const std::string& file) {
  const int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | flags, 0600);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    const int openError = errno;
    fd = ::open(file.c_str(), O_RDONLY | flags);
    if (fd < 0) errno = openError;
  }
  return fd;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct flock HolderMark(short type) {
  struct flock mark {};
  mark.l_type = type;
  mark.l_whence = SEEK_SET;
  mark.l_start = kHolderMark;
  mark.l_len = 1;
  return mark;
}

#ifdef F_OFD_SETLK
// Locks of the open file description: not dropped when another descriptor of the folder closes.
constexpr int kGetLock = F_OFD_GETLK;
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kGetLock = F_GETLK;
constexpr int kSetLock = F_SETLK;
#endif

}  // namespace

struct SingleInstanceChecker::Lock {
  int file = -1;
  int folder = -1;
  ~Lock() {
    Close(folder);
    Close(file);
  }

  enum class Outcome {
    locked,
    heldByAnother,
    failed
  };
  // Locks the file now at `path`; `reason` tells why when that failed.
  Outcome Take(const std::string& path, std::string& reason);
  // True when a runner whose lock file is gone still marks the folder; marks it for this one.
  bool FolderMarkedByAnother(const std::string& folder);
};

SingleInstanceChecker::Lock::Outcome SingleInstanceChecker::Lock::Take(const std::string& path,
                                                                       std::string& reason) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    Close(file);
    file = OpenLockFile(path);
    struct stat opened {};
    if (file < 0 || ::fstat(file, &opened) != 0) {
      reason = std::strerror(errno);
      return Outcome::failed;
    }
    if (!S_ISREG(opened.st_mode)) {
      reason = "not a regular file";
      return Outcome::failed;
    }
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return Outcome::heldByAnother;
      reason = std::strerror(errno);
      return Outcome::failed;
    }
    // The name may have been removed or replaced between the open and the lock; the lock
    // only counts while the name still leads to the locked file.
    struct stat named {};
    if (::lstat(path.c_str(), &named) == 0 && SameFile(named, opened)) return Outcome::locked;
  }
  reason = "the file keeps being replaced";
  return Outcome::failed;
}

bool SingleInstanceChecker::Lock::FolderMarkedByAnother(const std::string& lockFolder) {
  folder = ::open(lockFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return false;
  struct flock probe = HolderMark(F_WRLCK);
  if (::fcntl(folder, kGetLock, &probe) == 0 && probe.l_type != F_UNLCK) return true;
  struct flock mark = HolderMark(F_RDLCK);
  // Without the mark (a file system without such locks) the file lock alone keeps runners apart.
  if (::fcntl(folder, kSetLock, &mark) != 0) Close(folder);
  return false;
}

SingleInstanceChecker::SingleInstanceChecker(const std::string& name, const std::string& path)
    : m_lock(std::make_unique<Lock>()) {
  const std::string folder = LockFolder(path);
  const std::string file = Joined(folder, name);
  std::string reason;
  switch (m_lock->Take(file, reason)) {
    case Lock::Outcome::locked:
      m_anotherRunning = m_lock->FolderMarkedByAnother(folder);
      break;
    case Lock::Outcome::heldByAnother:
      m_anotherRunning = true;
      break;
    case Lock::Outcome::failed:
      m_lock.reset();
      m_problem = "single-instance lock not taken: " + file + ": " + reason;
      std::cerr << m_problem << std::endl;
      break;
  }
}

SingleInstanceChecker::~SingleInstanceChecker() = default;

bool SingleInstanceChecker::IsAnotherRunning() const { return m_anotherRunning; }

void ReportAssertion(const char* file, int line, const char* condition, const char* message) {
  std::fprintf(stderr, "%s(%d): assert \"%s\" failed: %s\n", file, line, condition, message);
  std::fflush(stderr);
}

}  // namespace runner::os
