// Win32 side of the data-folder files: reparse points opened as themselves and judged by their
// tag, CREATE_NEW, renames through the handle, a lock by a handle that shares nothing, and the
// free space of the volume. Every path goes to the wide calls in its "\\?\" form.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "app/runner/os/os.h"
#include "app/runner/os/owned_handle_win32.h"
#include "app/runner/os/wide_text_win32.h"

namespace runner::os {
namespace {

std::error_code SystemError(DWORD code) {
  return std::error_code(static_cast<int>(code), std::system_category());
}

std::error_code LastError() { return SystemError(::GetLastError()); }

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_BAD_NETPATH || code == ERROR_INVALID_NAME;
}

// The wide form of `path`; false, with the cause, when it is no UTF-8 and so names nothing.
bool ToSystemPath(const std::string& path, std::wstring& wide, std::error_code& error) {
  std::optional<std::wstring> converted = SystemPath(path);
  if (!converted) {
    error = SystemError(ERROR_INVALID_NAME);
    return false;
  }
  wide = std::move(*converted);
  return true;
}

// Only name surrogates (symbolic links, junctions, mount points) lead elsewhere; a reparse point
// of another tag (deduplication, cloud placeholder) is the file itself.
EntryKind KindOf(DWORD attributes, DWORD tag) {
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
    return EntryKind::other;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag))
    return EntryKind::other;
  return EntryKind::regularFile;
}

// The attributes and the reparse tag of an open handle. A system that cannot tell the tag has a
// reparse point taken for a link.
bool AttributesOf(HANDLE handle, DWORD& attributes, DWORD& tag, std::error_code& error) {
  FILE_ATTRIBUTE_TAG_INFO info = {};
  if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
    attributes = info.FileAttributes;
    tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info.ReparseTag : 0;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION basic = {};
  if (!::GetFileInformationByHandle(handle, &basic)) {
    error = LastError();
    return false;
  }
  attributes = basic.dwFileAttributes;
  tag = IO_REPARSE_TAG_SYMLINK;
  return true;
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::optional<FileIdentity> IdentityOfHandle(HANDLE handle, std::error_code& error) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (::GetFileInformationByHandle(handle, &info)) return IdentityOf(info);
  error = LastError();
  return std::nullopt;
}

// Opens the entry at `path` itself for its attributes only, which no sharing mode refuses.
HANDLE OpenForAttributes(const std::wstring& wide, bool followLinks) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

// What stands at the wide path, from its directory entry, which a file held without sharing
// still shows.
EntryKind ExamineWide(const std::wstring& wide, std::error_code& error) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD code = ::GetLastError();
    if (IsNotFound(code)) return EntryKind::absent;
    WIN32_FIND_DATAW found = {};
    const HANDLE search = ::FindFirstFileW(wide.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      error = SystemError(code);
      return EntryKind::unexaminable;
    }
    ::FindClose(search);
    return KindOf(found.dwFileAttributes, found.dwReserved0);
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return KindOf(data.dwFileAttributes, 0);
  // The tag: from the folder listing, or else from the reparse point opened as itself.
  WIN32_FIND_DATAW found = {};
  const HANDLE search = ::FindFirstFileW(wide.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    ::FindClose(search);
    return KindOf(found.dwFileAttributes, found.dwReserved0);
  }
  const OwnedHandle opened(OpenForAttributes(wide, /*followLinks=*/false));
  DWORD attributes = 0;
  DWORD tag = 0;
  if (!opened.Valid()) {
    error = LastError();
    return EntryKind::unexaminable;
  }
  if (!AttributesOf(opened.Get(), attributes, tag, error)) return EntryKind::unexaminable;
  return KindOf(attributes, tag);
}

// Opens the regular file at `path` without following a link, and checks what was opened: a
// disk file, no link or folder, with one name only when `singleName`. A reparse point that is no
// link is opened again as the file it stands for, and taken only when it is still the same file.
// An invalid handle (with `kind` and `error`) otherwise.
HANDLE OpenChecked(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                   bool singleName, EntryKind& kind, std::error_code& error) {
  error.clear();
  kind = EntryKind::unexaminable;
  std::wstring wide;
  if (!ToSystemPath(path, wide, error)) {
    kind = EntryKind::absent;
    return INVALID_HANDLE_VALUE;
  }
  OwnedHandle file(::CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) {
    const DWORD code = ::GetLastError();
    error = SystemError(code);
    if (IsNotFound(code)) {
      kind = EntryKind::absent;
      return INVALID_HANDLE_VALUE;
    }
    std::error_code examined;
    kind = ExamineWide(wide, examined);
    // There, but not to be opened now (held by another process, no access): the open's cause.
    if (kind == EntryKind::regularFile || kind == EntryKind::absent) kind = EntryKind::unexaminable;
    if (kind == EntryKind::other) error = std::make_error_code(std::errc::invalid_argument);
    return INVALID_HANDLE_VALUE;
  }
  DWORD attributes = 0;
  DWORD tag = 0;
  if (!AttributesOf(file.Get(), attributes, tag, error)) return INVALID_HANDLE_VALUE;
  if (::GetFileType(file.Get()) != FILE_TYPE_DISK ||
      KindOf(attributes, tag) != EntryKind::regularFile) {
    error = std::make_error_code(std::errc::invalid_argument);
    kind = EntryKind::other;
    return INVALID_HANDLE_VALUE;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // Opened as itself, a placeholder gives its reparse data, not the file's bytes.
    const std::optional<FileIdentity> itself = IdentityOfHandle(file.Get(), error);
    if (!itself) return INVALID_HANDLE_VALUE;
    file.Close();
    file.Reset(::CreateFileW(wide.c_str(), access, share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
      error = LastError();
      return INVALID_HANDLE_VALUE;
    }
    if (IdentityOfHandle(file.Get(), error) != itself) {
      if (!error) error = std::make_error_code(std::errc::invalid_argument);
      kind = EntryKind::other;
      return INVALID_HANDLE_VALUE;
    }
  }
  if (singleName) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file.Get(), &info)) {
      error = LastError();
      return INVALID_HANDLE_VALUE;
    }
    if (info.nNumberOfLinks > 1) {
      error = std::make_error_code(std::errc::invalid_argument);
      kind = EntryKind::other;
      return INVALID_HANDLE_VALUE;
    }
  }
  kind = EntryKind::regularFile;
  return file.Release();
}

}  // namespace

struct DataFile::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
  // Opened with the DELETE right, which a rename through the handle needs.
  bool movable = false;
  ~Handle() {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
};

EntryKind ExamineEntry(const std::string& path, std::error_code& error) {
  error.clear();
  std::wstring wide;
  if (path.empty() || !ToSystemPath(path, wide, error)) {
    error.clear();
    return EntryKind::absent;
  }
  return ExamineWide(wide, error);
}

std::optional<FileIdentity> IdentityAt(const std::string& path, std::error_code& error) {
  error.clear();
  std::wstring wide;
  if (!ToSystemPath(path, wide, error)) return std::nullopt;
  const OwnedHandle opened(OpenForAttributes(wide, /*followLinks=*/false));
  if (!opened.Valid()) {
    const DWORD code = ::GetLastError();
    if (!IsNotFound(code)) error = SystemError(code);
    return std::nullopt;
  }
  DWORD attributes = 0;
  DWORD tag = 0;
  if (!AttributesOf(opened.Get(), attributes, tag, error) ||
      KindOf(attributes, tag) != EntryKind::regularFile)
    return std::nullopt;
  return IdentityOfHandle(opened.Get(), error);
}

bool PathExists(const std::string& path, std::error_code& error) {
  error.clear();
  std::wstring wide;
  if (path.empty() || !ToSystemPath(path, wide, error)) {
    error.clear();
    return false;
  }
  const OwnedHandle opened(OpenForAttributes(wide, /*followLinks=*/true));
  if (opened.Valid()) return true;
  const DWORD code = ::GetLastError();
  if (IsNotFound(code)) return false;
  // What cannot be opened may still stand there as itself, a file that is no link.
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) &&
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return true;
  error = SystemError(code);
  return true;
}

bool CreateFolders(const std::string& folder, std::error_code& error) {
  error.clear();
  std::string path = folder;
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  // A drive ("C:") or nothing at all: nothing to make.
  if (path.empty() || (path.size() == 2 && path[1] == ':')) return true;
  std::wstring wide;
  if (!ToSystemPath(path, wide, error)) return false;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    error = std::make_error_code(std::errc::not_a_directory);
    return false;
  }
  const std::string::size_type cut = path.find_last_of("\\/");
  if (cut != std::string::npos && cut > 0 && !CreateFolders(path.substr(0, cut), error))
    return false;
  if (::CreateDirectoryW(wide.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS)
    return true;
  error = LastError();
  return false;
}

std::optional<std::vector<std::string>> ListFolder(const std::string& folder,
                                                   std::error_code& error) {
  error.clear();
  std::wstring wide;
  if (!ToSystemPath(folder.empty() ? std::string(".") : folder, wide, error)) return std::nullopt;
  if (wide.empty() || wide.back() != L'\\') wide += L'\\';
  wide += L'*';
  WIN32_FIND_DATAW found = {};
  const HANDLE search =
      ::FindFirstFileExW(wide.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  std::vector<std::string> names;
  if (search == INVALID_HANDLE_VALUE) {
    // A root folder holds not even "." and "..".
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return names;
    error = LastError();
    return std::nullopt;
  }
  do {
    if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0)
      continue;
    // A name with an unpaired surrogate is none of the runner's.
    if (std::optional<std::string> name = Narrow(found.cFileName, std::wcslen(found.cFileName)))
      names.push_back(std::move(*name));
  } while (::FindNextFileW(search, &found));
  const DWORD code = ::GetLastError();
  ::FindClose(search);
  if (code != ERROR_NO_MORE_FILES) {
    error = SystemError(code);
    return std::nullopt;
  }
  return names;
}

bool RenameEntry(const std::string& source, const std::string& target, std::error_code& error) {
  error.clear();
  std::wstring wideSource, wideTarget;
  if (!ToSystemPath(source, wideSource, error) || !ToSystemPath(target, wideTarget, error))
    return false;
  // Write-through: the rename is on the disk when the call returns.
  if (::MoveFileExW(wideSource.c_str(), wideTarget.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  error = LastError();
  return false;
}

bool RemoveEntryItself(const std::string& path, std::error_code& error) {
  error.clear();
  std::wstring wide;
  if (!ToSystemPath(path, wide, error)) return false;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = LastError();
    return false;
  }
  // A folder, or a junction or folder link, which goes without what it leads to.
  const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                           ? ::RemoveDirectoryW(wide.c_str())
                           : ::DeleteFileW(wide.c_str());
  if (removed) return true;
  error = LastError();
  return false;
}

// MOVEFILE_WRITE_THROUGH and the renames through a handle make each change durable by itself.
bool FlushFolder(const std::string&, std::error_code& error) {
  error.clear();
  return true;
}

void ClearReadOnly(const std::string& path) {
  std::wstring wide;
  std::error_code ignored;
  if (!ToSystemPath(path, wide, ignored)) return;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return;
  const DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  ::SetFileAttributesW(wide.c_str(), cleared == 0 ? FILE_ATTRIBUTE_NORMAL : cleared);
}

DataFile::DataFile(std::unique_ptr<Handle> handle, std::string path)
    : m_handle(std::move(handle)), m_path(std::move(path)) {}

DataFile::~DataFile() = default;

// Others may go on reading an open file (the patch driver opens it by name), but not write,
// rename or remove it while it is open. A scanner or an indexer that holds the file without
// sharing what is asked for lets go within moments: it is waited for a few seconds, as the data
// folder's renames and removals wait.
std::unique_ptr<DataFile> DataFile::OpenRegular(const std::string& path, bool forWriting,
                                                EntryKind& kind, std::error_code& error) {
  constexpr ULONGLONG kHeldWait = 3000;
  constexpr DWORD kHeldPause = 100;
  auto handle = std::make_unique<Handle>();
  const DWORD access = forWriting ? GENERIC_READ | GENERIC_WRITE | DELETE : GENERIC_READ;
  const ULONGLONG giveUp = ::GetTickCount64() + kHeldWait;
  for (;;) {
    handle->file = OpenChecked(path, access, FILE_SHARE_READ, OPEN_EXISTING, /*singleName=*/false,
                               kind, error);
    if (handle->file != INVALID_HANDLE_VALUE) break;
    const bool held =
        error == SystemError(ERROR_SHARING_VIOLATION) || error == SystemError(ERROR_LOCK_VIOLATION);
    if (!held || ::GetTickCount64() >= giveUp) return nullptr;
    ::Sleep(kHeldPause);
  }
  handle->movable = forWriting;
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

// The file takes the folder's permissions, which in the roaming folder are the user's own.
std::unique_ptr<DataFile> DataFile::CreateNew(const std::string& path, bool,
                                              std::error_code& error) {
  error.clear();
  std::wstring wide;
  if (!ToSystemPath(path, wide, error)) return nullptr;
  auto handle = std::make_unique<Handle>();
  // CREATE_NEW fails on anything that stands there, a reparse point included.
  handle->file =
      ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle->file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // Spelt as the portable logic asks for it.
    error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                ? std::make_error_code(std::errc::file_exists)
                : SystemError(code);
    return nullptr;
  }
  handle->movable = true;
  return std::unique_ptr<DataFile>(new DataFile(std::move(handle), path));
}

// Appends only: every write goes to the end, whatever else wrote there.
std::unique_ptr<DataFile> DataFile::OpenLog(const std::string& path, EntryKind& kind,
                                            std::error_code& error) {
  auto handle = std::make_unique<Handle>();
  handle->file = OpenChecked(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ, OPEN_ALWAYS, /*singleName=*/true, kind, error);
  if (handle->file == INVALID_HANDLE_VALUE) return nullptr;
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

// A read at an offset moves the position of a synchronous handle too: it is put back afterwards.
bool DataFile::ReadAt(uint64_t position, void* buffer, size_t& count, std::error_code& error) {
  error.clear();
  LARGE_INTEGER zero = {};
  LARGE_INTEGER current = {};
  if (!::SetFilePointerEx(m_handle->file, zero, &current, FILE_CURRENT)) {
    error = LastError();
    count = 0;
    return false;
  }
  size_t total = 0;
  bool read = true;
  while (total < count) {
    const uint64_t at = position + total;
    OVERLAPPED offset = {};
    offset.Offset = static_cast<DWORD>(at);
    offset.OffsetHigh = static_cast<DWORD>(at >> 32);
    const size_t left = count - total;
    const DWORD wanted = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!::ReadFile(m_handle->file, static_cast<char*>(buffer) + total, wanted, &got, &offset)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) break;
      error = SystemError(code);
      read = false;
      break;
    }
    if (got == 0) break;
    total += got;
  }
  ::SetFilePointerEx(m_handle->file, current, nullptr, FILE_BEGIN);
  count = read ? total : 0;
  return read;
}

bool DataFile::Write(const void* buffer, size_t count, std::error_code& error) {
  error.clear();
  const char* next = static_cast<const char*>(buffer);
  while (count > 0) {
    const DWORD piece = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!::WriteFile(m_handle->file, next, piece, &put, nullptr)) {
      error = LastError();
      return false;
    }
    // A write that succeeds without taking a byte has left no error code of its own.
    if (put == 0) {
      error = std::make_error_code(std::errc::no_space_on_device);
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

std::optional<FileIdentity> DataFile::Identity(std::error_code& error) const {
  error.clear();
  return IdentityOfHandle(m_handle->file, error);
}

// Renamed through the handle, so the file moved is this one, whatever the old name names now.
bool DataFile::MoveTo(const std::string& target, std::error_code& error) {
  error.clear();
  if (!m_handle->movable) {
    error = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  std::wstring wide;
  if (!ToSystemPath(target, wide, error)) return false;
  const size_t nameBytes = wide.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(wchar_t), 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, wide.c_str(), nameBytes + sizeof(wchar_t));
  if (!::SetFileInformationByHandle(m_handle->file, FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
    error = LastError();
    return false;
  }
  m_path = target;
  // The new name on the disk before anything that depends on it.
  ::FlushFileBuffers(m_handle->file);
  return true;
}

std::FILE* DataFile::OpenStdio(const char* mode, std::error_code& error) const {
  error.clear();
  HANDLE duplicate = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), m_handle->file, ::GetCurrentProcess(), &duplicate,
                         0, FALSE, DUPLICATE_SAME_ACCESS)) {
    error = LastError();
    return nullptr;
  }
  const bool reading = std::strchr(mode, '+') == nullptr && mode[0] == 'r';
  const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(duplicate),
                                           (reading ? _O_RDONLY : _O_RDWR) | _O_BINARY);
  if (descriptor < 0) {
    error = std::make_error_code(std::errc::too_many_files_open);
    ::CloseHandle(duplicate);
    return nullptr;
  }
  // The descriptor owns the handle from here on.
  std::FILE* stream = ::_fdopen(descriptor, mode);
  if (stream == nullptr) {
    error = std::error_code(errno, std::generic_category());
    ::_close(descriptor);
  }
  return stream;
}

struct FileLock::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
};

FileLock::FileLock(std::unique_ptr<Handle> handle) : m_handle(std::move(handle)) {}

FileLock::~FileLock() = default;

// The handle shares nothing: while it is open, no other runner can open the file at all.
std::unique_ptr<FileLock> FileLock::TryTake(const std::string& path, Outcome& outcome,
                                            EntryKind& kind, std::error_code& error) {
  auto handle = std::make_unique<Handle>();
  handle->file = OpenChecked(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS,
                             /*singleName=*/true, kind, error);
  if (handle->file == INVALID_HANDLE_VALUE) {
    outcome =
        error == SystemError(ERROR_SHARING_VIOLATION) ? Outcome::heldByAnother : Outcome::failed;
    return nullptr;
  }
  outcome = Outcome::taken;
  return std::unique_ptr<FileLock>(new FileLock(std::move(handle)));
}

std::optional<uint64_t> FreeSpace(const std::string& folder, std::error_code& error) {
  error.clear();
  std::wstring wide;
  if (!ToSystemPath(folder.empty() ? std::string(".") : folder, wide, error)) return std::nullopt;
  if (wide.empty() || wide.back() != L'\\') wide += L'\\';
  ULARGE_INTEGER available = {};
  if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) {
    error = LastError();
    return std::nullopt;
  }
  return static_cast<uint64_t>(available.QuadPart);
}

}  // namespace runner::os
