// Win32 side of the data-folder files: reparse points opened as themselves, CREATE_NEW, the
// handle's own information, and the free space of the volume.
#include "app/runner/os/os.h"
#include "app/runner/os/wide_text_win32.h"

#include <windows.h>

#include <cerrno>
#include <filesystem>

namespace runner::os {
namespace {

std::error_code LastError() { return std::error_code(static_cast<int>(::GetLastError()), std::system_category()); }

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH ||
         code == ERROR_INVALID_NAME;
}

bool IsOtherKind(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

}  // namespace

struct DataFile::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
};

EntryKind ExamineEntry(const std::string& path, std::error_code& error) {
  error.clear();
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) {
    const DWORD code = ::GetLastError();
    if (IsNotFound(code)) return EntryKind::absent;
    error = std::error_code(static_cast<int>(code), std::system_category());
    return EntryKind::unexaminable;
  }
  return IsOtherKind(data.dwFileAttributes) ? EntryKind::other : EntryKind::regularFile;
}

DataFile::DataFile(std::unique_ptr<Handle> handle, std::string path)
    : m_handle(std::move(handle)), m_path(std::move(path)) {}

DataFile::~DataFile() = default;

std::unique_ptr<DataFile> DataFile::OpenRegular(const std::string& path, bool forWriting, EntryKind& kind,
                                                std::error_code& error) {
  error.clear();
  auto handle = std::make_unique<Handle>();
  // Others may go on reading it (the patch driver opens it by name), but not write, rename or
  // remove it while it is open. A reparse point is opened as itself, never followed.
  const DWORD access = forWriting ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  handle->file = ::CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle->file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    error = std::error_code(static_cast<int>(code), std::system_category());
    kind = IsNotFound(code) ? EntryKind::absent : ExamineEntry(path, error);
    if (kind == EntryKind::regularFile) kind = EntryKind::unexaminable;  // there, but not to be opened
    if (kind == EntryKind::unexaminable && !error) error = std::error_code(static_cast<int>(code), std::system_category());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(handle->file, &info)) {
    error = LastError();
    kind = EntryKind::unexaminable;
    return nullptr;
  }
  if (IsOtherKind(info.dwFileAttributes) || ::GetFileType(handle->file) != FILE_TYPE_DISK) {
    error = std::make_error_code(std::errc::invalid_argument);
    kind = EntryKind::other;
    return nullptr;
  }
  kind = EntryKind::regularFile;
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

std::unique_ptr<DataFile> DataFile::CreateNew(const std::string& path, std::error_code& error) {
  error.clear();
  auto handle = std::make_unique<Handle>();
  // CREATE_NEW fails on anything that stands there, a reparse point included.
  handle->file = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle->file == INVALID_HANDLE_VALUE) {
    error = LastError();
    return nullptr;
  }
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

uint64_t DataFile::Size(std::error_code& error) const {
  error.clear();
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(m_handle->file, &size)) {
    error = LastError();
    return 0;
  }
  return static_cast<uint64_t>(size.QuadPart);
}

bool DataFile::Read(void* buffer, size_t& count, std::error_code& error) {
  error.clear();
  DWORD got = 0;
  const DWORD wanted = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
  if (!::ReadFile(m_handle->file, buffer, wanted, &got, nullptr)) {
    error = LastError();
    count = 0;
    return false;
  }
  count = got;
  return true;
}

bool DataFile::Write(const void* buffer, size_t count, std::error_code& error) {
  error.clear();
  const char* next = static_cast<const char*>(buffer);
  while (count > 0) {
    const DWORD piece = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!::WriteFile(m_handle->file, next, piece, &put, nullptr) || put == 0) {
      error = put == 0 && ::GetLastError() == ERROR_SUCCESS ? std::make_error_code(std::errc::no_space_on_device)
                                                            : LastError();
      return false;
    }
    next += put;
    count -= put;
  }
  return true;
}

bool DataFile::Rewind(std::error_code& error) {
  error.clear();
  LARGE_INTEGER start = {};
  if (::SetFilePointerEx(m_handle->file, start, nullptr, FILE_BEGIN)) return true;
  error = LastError();
  return false;
}

bool DataFile::FlushToDisk(std::error_code& error) {
  error.clear();
  if (::FlushFileBuffers(m_handle->file)) return true;
  error = LastError();
  return false;
}

// Windows has no execute bit; every file may be started.
void DataFile::CopyExecutePermissionFrom(const std::string&) {}

// The open handle denies others writing, renaming and removing, so the name keeps naming it.
std::string DataFile::PathWhileOpen() const { return m_path; }

std::optional<uint64_t> FreeSpace(const std::string& folder) {
  ULARGE_INTEGER available = {};
  const std::wstring wide = Widen(folder.empty() ? std::string(".") : folder);
  if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return static_cast<uint64_t>(available.QuadPart);
}

}  // namespace runner::os
