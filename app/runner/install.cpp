#include "app/runner/install.h"

#include <easylogging++.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "app/runner/data_folder.h"
#include "app/runner/os/os.h"
#include "app/runner/staging.h"
#include "app/runner/update_attempts.h"
#include "patch/hpatchi.h"
#include "patch/hpatchi_memory.h"

namespace runner {
namespace {

namespace fs = std::filesystem;
using os::DataFile;
using os::EntryKind;

// Logs why `path` cannot be used and moves it out of the way, so that it blocks nothing later.
void SetAsideLogged(const std::string& path, EntryKind kind, const std::error_code& cause) {
  const std::string what = kind == EntryKind::unexaminable
                               ? EntryName(path) + " cannot be examined (" + cause.message() + ")"
                               : EntryName(path) + " is not a regular file";
  std::error_code error;
  if (const std::optional<std::string> aside = SetAside(path, error))
    LOG(INFO) << what << ": set aside as " << EntryName(*aside);
  else
    LOG(INFO) << what << " and cannot be set aside: " << error.message();
}

// Opens a staging file for reading; anything but a regular file is logged and set aside.
std::unique_ptr<DataFile> OpenStagingFile(const std::string& path) {
  EntryKind kind = EntryKind::absent;
  std::error_code error;
  std::unique_ptr<DataFile> file = DataFile::OpenRegular(path, false, kind, error);
  if (!file && kind != EntryKind::absent) SetAsideLogged(path, kind, error);
  return file;
}

// The patch engine's raw reader over an open file: reads on from its position.
hl_bool ReadFromDataFile(void* handle, hl_byte* buffer, uint32_t* count) {
  auto* file = static_cast<DataFile*>(handle);
  size_t total = 0;
  std::error_code error;
  while (total < *count) {
    size_t piece = *count - total;
    if (!file->Read(buffer + total, piece, error)) break;
    if (piece == 0) break;
    total += piece;
  }
  *count = static_cast<uint32_t>(total);
  return hl_TRUE;
}

// Codes of a patch that is itself bad: trying it again cannot help. An old-file read error
// means a copy reaching past the end of the backup copy the runner has just written and read:
// a patch made for another base. Open, write, close and allocation failures lie with the
// machine, not with the patch.
bool IsBadPatch(int code) {
  switch (code) {
    case HPATCHI_OLD_READ_ERROR:
    case HPATCHI_COMPRESS_TYPE_ERROR:
    case HPATCHI_DECOMPRESSER_INFO_ERROR:
    case HPATCHI_DECOMPRESSER_OPEN_ERROR:
    case HPATCHI_DECOMPRESSER_CLOSE_ERROR:
    case HPATCHI_HEADER_ERROR:
    case HPATCHI_PATCH_ERROR:
      return true;
    default:
      return false;
  }
}

// Moves `source` over the staged executable; a staged entry that blocks the move is set aside.
void ReplaceStagedExecutable(const std::string& source, const std::string& stagedExecutable) {
  std::error_code error;
  if (!MoveInPlace(source, stagedExecutable, error)) throw fs::filesystem_error("rename", source, stagedExecutable, error);
}

// Removes a staging file or one of the runner's own; throws std::filesystem::filesystem_error.
void Remove(const std::string& path) {
  std::error_code error;
  if (!RemoveEntry(path, error)) throw fs::filesystem_error("remove", path, error);
}

void RemoveQuietly(const std::string& path) {
  std::error_code ignored;
  RemoveEntry(path, ignored);
}

// The crash handler is optional: whatever goes wrong here is logged and costs the update nothing.
void PlaceCrashHandler(const std::string& dataFolder) {
  const std::string copy = dataFolder + "crashpad_handler.exe";
  const std::string sourcePath = "crashpad_handler.exe";
  std::error_code error;
  if (os::ExamineEntry(copy, error) != EntryKind::absent) return;
  EntryKind kind = EntryKind::absent;
  std::unique_ptr<DataFile> source = DataFile::OpenRegular(sourcePath, false, kind, error);
  if (!source) {
    if (kind == EntryKind::other) LOG(INFO) << "crash handler copy failed: crashpad_handler.exe is not a regular file";
    else if (kind != EntryKind::absent) LOG(INFO) << "crash handler copy failed: " << error.message();
    return;
  }
  const std::string partialPath = dataFolder + "crashpad_handler_new.exe";
  std::unique_ptr<DataFile> partial = CreateFresh(partialPath, error);
  bool copied = partial && CopyContent(*source, *partial, error) && partial->FlushToDisk(error);
  if (copied) partial->CopyExecutePermissionFrom(sourcePath);
  partial.reset();
  if (copied && MoveInPlace(partialPath, copy, error)) return;
  LOG(INFO) << "crash handler copy failed: " << error.message();
  RemoveQuietly(partialPath);
}

// One installation: what it has opened and made so far, so that every way out clears it.
class Installation {
 public:
  Installation(const std::string& dataFolder, const std::string& startedExecutable, const std::string& patchFile,
               const std::string& stagedExecutable, const std::string& manifestFile)
      : m_dataFolder(dataFolder),
        m_startedExecutable(startedExecutable),
        m_patchFile(patchFile),
        m_stagedExecutable(stagedExecutable),
        m_manifestFile(manifestFile),
        m_backupCopy(dataFolder + "Quorlin_old.exe"),
        m_patchResult(dataFolder + "Quorlin_new.exe"),
        m_attempts(dataFolder) {}

  nlohmann::json Run() {
    const bool installed = Install();
    if (installed) return m_manifest.value;
    if (ReadForceFlag(m_manifest.value)) LOG(INFO) << "force not honoured: the update was not installed";
    return nlohmann::json();
  }

 private:
  bool Install() {
    if (!ReadManifest() || !CheckPatch() || !CheckExecutableThatRan() || !MakeBackupCopy() || !ApplyPatch() ||
        !CheckPatchResult())
      return false;
    PlaceCrashHandler(m_dataFolder);
    Finish();
    return true;
  }

  // The manifest is read whole, and judged, before anything is patched.
  bool ReadManifest() {
    std::unique_ptr<DataFile> file = OpenStagingFile(m_manifestFile);
    if (!file) return false;
    std::error_code error;
    const uint64_t size = file->Size(error);
    if (error) return Drop("update.json cannot be read: " + error.message());
    if (size > kManifestSizeLimit) return Drop("update.json is larger than 1 MiB");
    std::string bytes;
    if (!ReadWhole(*file, bytes, error)) return Drop("update.json cannot be read: " + error.message());
    switch (ParseManifest(bytes, m_manifest)) {
      case ManifestProblem::none: return true;
      case ManifestProblem::notJson: return Drop("update.json is not valid JSON");
      case ManifestProblem::malformedBaseSha256: return Drop("update.json has a malformed base_sha256");
      case ManifestProblem::malformedSha256: return Drop("update.json has a malformed sha256");
    }
    return false;
  }

  // The patch's header and decompressor prefix tell its size and memory before any allocation.
  bool CheckPatch() {
    m_patch = OpenStagingFile(m_patchFile);
    if (!m_patch) return false;
    std::error_code error;
    hpatchi_TMemoryNeed need;
    if (!m_patch->Rewind(error)) return Drop("Patch cannot be read: " + error.message());
    const int code = hpatchi_memory_need(m_patch.get(), ReadFromDataFile, HPATCHI_CACHE_SIZE, &need);
    if (code != HPATCHI_OK) return Drop("patch failed with result " + std::to_string(code));
    if (need.total > kPatchMemoryLimit)
      return Drop("patch needs " + std::to_string(need.total) + " bytes of memory, more than the 256 MiB allowed");
    m_newSize = need.newSize;
    return true;
  }

  bool CheckExecutableThatRan() {
    EntryKind kind = EntryKind::absent;
    std::error_code error;
    m_started = DataFile::OpenRegular(m_startedExecutable, false, kind, error);
    if (!m_started) return Defer("the executable that ran cannot be read: " + error.message());
    const uint64_t startedSize = m_started->Size(error);
    // Room for the backup copy and the new executable side by side.
    const uint64_t needed = uint64_t(m_newSize) + startedSize + kDiskSpaceMargin;
    const std::optional<uint64_t> free = os::FreeSpace(m_dataFolder);
    if (free && *free < needed)
      return Defer("not enough disk space for the update: " + std::to_string(needed) + " bytes needed, " +
                   std::to_string(*free) + " free");
    return MatchesSha256(*m_started, m_manifest.baseSha256, "the executable that ran cannot be read: ",
                         "the update does not fit the executable that ran");
  }

  bool MakeBackupCopy() {
    std::error_code error;
    std::unique_ptr<DataFile> copy = CreateFresh(m_backupCopy, error);
    const bool copied = copy && m_started->Rewind(error) && CopyContent(*m_started, *copy, error);
    // Closed before anything removes it: an open file cannot be removed on Windows.
    copy.reset();
    m_started.reset();
    if (!copied) return Defer("backup copy failed: " + error.message());
    // Held open while the patch reads it: its name cannot be pointed anywhere else meanwhile.
    EntryKind kind = EntryKind::absent;
    m_backup = DataFile::OpenRegular(m_backupCopy, false, kind, error);
    if (!m_backup) return Defer("backup copy failed: " + error.message());
    return true;
  }

  bool ApplyPatch() {
    std::error_code error;
    // The patch driver writes the result into a file made here, exclusively, and held open, so
    // that a link put at the name meanwhile is never written through. Where no path reaches the
    // open file (Windows), it is closed for the driver, which opens it by name.
    m_result = CreateFresh(m_patchResult, error);
    if (!m_result) return Defer("Quorlin_new.exe cannot be created: " + error.message());
    const std::string oldPath = os::PatchEnginePath(m_backup->PathWhileOpen());
    const std::string diffPath = os::PatchEnginePath(m_patch->PathWhileOpen());
    const std::string outPath = os::PatchEnginePath(m_result->PathWhileOpen());
    if (outPath == os::PatchEnginePath(m_patchResult)) m_result.reset();
    const int code = hpatchi_run(oldPath.c_str(), diffPath.c_str(), outPath.c_str());
    if (code == HPATCHI_OK) return true;
    std::string why = "patch failed with result " + std::to_string(code);
    if (IsBadPatch(code)) return Drop(why);
    // The driver's streams report their causes themselves; a full disk is told here again.
    if (code == HPATCHI_WRITE_ERROR || code == HPATCHI_CLOSE_ERROR) {
      const std::optional<uint64_t> free = os::FreeSpace(m_dataFolder);
      if (free && *free < m_newSize) why += " (" + std::make_error_code(std::errc::no_space_on_device).message() + ")";
    }
    return Defer(why);
  }

  bool CheckPatchResult() {
    EntryKind kind = EntryKind::absent;
    std::error_code error;
    // The file the driver wrote, still open where it could be kept open: the hashed bytes are those written.
    if (!m_result) m_result = DataFile::OpenRegular(m_patchResult, true, kind, error);
    if (!m_result) return Defer("Quorlin_new.exe cannot be opened: " + error.message());
    if (!m_result->FlushToDisk(error)) return Defer("Quorlin_new.exe cannot be written: " + error.message());
    m_result->CopyExecutePermissionFrom(m_startedExecutable);
    return MatchesSha256(*m_result, m_manifest.sha256, "Quorlin_new.exe cannot be read: ",
                         "the patched executable does not match sha256");
  }

  void Finish() {
    CloseFiles();
    Remove(m_backupCopy);
    Remove(m_patchFile);
    // The patch is gone from the disk before its result takes the staged executable's place,
    // so a crash in between can never apply it a second time, to its own result.
    os::FlushFolder(m_dataFolder);
    ReplaceStagedExecutable(m_patchResult, m_stagedExecutable);
    m_attempts.Clear();
    Remove(m_manifestFile);
  }

  void CloseFiles() {
    m_patch.reset();
    m_started.reset();
    m_backup.reset();
    m_result.reset();
  }

  void RemoveHalfMadeFiles() {
    CloseFiles();
    RemoveQuietly(m_backupCopy);
    RemoveQuietly(m_patchResult);
  }

  // The update cannot be installed, now or later: it is consumed. The staged executable stays.
  // True when nothing is expected or `file` holds what `expected` names. A file that cannot be
  // read leaves the update for a later run (`unreadable` leads the cause); other bytes drop it.
  bool MatchesSha256(DataFile& file, const std::optional<std::string>& expected, const std::string& unreadable,
                     const std::string& mismatch) {
    if (!expected) return true;
    std::error_code error;
    const std::optional<std::string> digest = os::Sha256OfFile(file, error);
    if (!digest) return Defer(unreadable + error.message());
    if (*digest != *expected) return Drop(mismatch);
    return true;
  }

  bool Drop(const std::string& why) {
    LOG(INFO) << why << ": update dropped";
    RemoveHalfMadeFiles();
    RemoveQuietly(m_patchFile);
    RemoveQuietly(m_manifestFile);
    m_attempts.Clear();
    return false;
  }

  // A passing failure: the update stays for a later run, up to the attempt limit.
  bool Defer(const std::string& why) {
    const int attempts = m_attempts.CountFailure(UpdateId());
    if (attempts >= kUpdateAttemptLimit) return Drop(why + " (attempt " + std::to_string(attempts) + ")");
    LOG(INFO) << why << ": update kept for a later run (attempt " << attempts << " of " << kUpdateAttemptLimit << ")";
    RemoveHalfMadeFiles();
    return false;
  }

  // The patch's SHA-256 names the update in the attempt count; only a failure that keeps the
  // update needs it, so a patch that installs is never hashed.
  std::string UpdateId() {
    std::error_code error;
    const std::optional<std::string> digest = m_patch ? os::Sha256OfFile(*m_patch, error) : std::nullopt;
    return digest.value_or("-");
  }

  std::string m_dataFolder, m_startedExecutable, m_patchFile, m_stagedExecutable, m_manifestFile;
  std::string m_backupCopy, m_patchResult;
  UpdateAttempts m_attempts;
  Manifest m_manifest;
  uint32_t m_newSize = 0;
  std::unique_ptr<DataFile> m_patch, m_started, m_backup, m_result;
};

}  // namespace

nlohmann::json InstallStagedUpdate(const std::string& dataFolder, const std::string& startedExecutable,
                                   const std::string& patchFile, const std::string& stagedExecutable,
                                   const std::string& manifestFile) {
  return Installation(dataFolder, startedExecutable, patchFile, stagedExecutable, manifestFile).Run();
}

void RecoverInterruptedInstall(const std::string& dataFolder, const std::string& patchFile,
                               const std::string& stagedExecutable, const std::string& manifestFile) {
  if (dataFolder.empty()) return;
  RemoveLeftoverFreshFiles(dataFolder);
  const std::string patchResult = dataFolder + "Quorlin_new.exe";
  std::error_code error;
  if (os::ExamineEntry(patchResult, error) == EntryKind::absent) return;
  // With the patch still there the next installation makes the result again.
  if (os::ExamineEntry(patchFile, error) != EntryKind::absent) return;
  EntryKind kind = EntryKind::absent;
  bool complete = false;
  if (std::unique_ptr<DataFile> file = DataFile::OpenRegular(manifestFile, false, kind, error)) {
    std::string bytes;
    Manifest manifest;
    if (file->Size(error) <= kManifestSizeLimit && ReadWhole(*file, bytes, error) &&
        ParseManifest(bytes, manifest) == ManifestProblem::none && manifest.sha256) {
      if (std::unique_ptr<DataFile> result = DataFile::OpenRegular(patchResult, false, kind, error))
        complete = os::Sha256OfFile(*result, error) == manifest.sha256;
    }
  }
  if (!complete) {
    RemoveQuietly(patchResult);
    return;
  }
  // Failing here must not keep the installed executable from starting: a later start tries again.
  if (!MoveInPlace(patchResult, stagedExecutable, error)) {
    LOG(INFO) << "interrupted installation cannot be completed: " << error.message();
    return;
  }
  UpdateAttempts(dataFolder).Clear();
  RemoveQuietly(manifestFile);
  LOG(INFO) << "interrupted installation completed";
}

bool IsStagedExecutableUsable(const std::string& stagedExecutable) {
  if (stagedExecutable.empty()) return false;
  std::error_code error;
  const EntryKind kind = os::ExamineEntry(stagedExecutable, error);
  if (kind == EntryKind::regularFile) return true;
  if (kind != EntryKind::absent) SetAsideLogged(stagedExecutable, kind, error);
  return false;
}

}  // namespace runner
