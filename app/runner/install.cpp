#include "app/runner/install.h"

#include <easylogging++.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/runner/os/os.h"
#include "app/runner/staging.h"
#include "app/runner/update_attempts.h"
#include "patch/hpatchi.h"
#include "patch/hpatchi_core.h"
#include "patch/hpatchi_memory.h"

namespace runner {
namespace {

using os::DataFile;
using os::EntryKind;

// How often the verified result is written again when another process keeps putting its own
// file at the staged executable's name.
constexpr int kStagingTries = 3;

[[noreturn]] void ThrowFileSystemError(const char* operation, const std::string& path,
                                       std::error_code error) {
  throw std::filesystem::filesystem_error(operation, std::filesystem::u8path(path), error);
}

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

// The patch engine's raw reader over an open file, reading on from its position, with what it
// met: the file's end before a request was filled, or a read error (then false, as the engine's
// readers say "no data").
struct PatchReading {
  DataFile* file;
  bool ended = false;
  bool failed = false;
};

hl_bool ReadFromDataFile(void* handle, hl_byte* buffer, uint32_t* count) {
  auto* reading = static_cast<PatchReading*>(handle);
  size_t total = 0;
  std::error_code error;
  while (total < *count) {
    size_t piece = *count - total;
    if (!reading->file->Read(buffer + total, piece, error)) {
      reading->failed = true;
      *count = static_cast<uint32_t>(total);
      return hl_FALSE;
    }
    if (piece == 0) {
      reading->ended = true;
      break;
    }
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

// Removes a staging file or one of the runner's own; throws std::filesystem::filesystem_error.
void Remove(const std::string& path) {
  std::error_code error;
  if (!RemoveEntry(path, error)) ThrowFileSystemError("remove", path, error);
}

bool RemoveQuietly(const std::string& path) {
  std::error_code ignored;
  return RemoveEntry(path, ignored);
}

// The crash handler is optional: whatever goes wrong here is logged and costs the update nothing.
void PlaceCrashHandler(const DataFolder& folder) {
  std::error_code error;
  if (os::ExamineEntry(folder.crashHandler, error) != EntryKind::absent) return;
  EntryKind kind = EntryKind::absent;
  std::unique_ptr<DataFile> source =
      DataFile::OpenRegular("crashpad_handler.exe", false, kind, error);
  if (!source) {
    if (kind == EntryKind::other)
      LOG(INFO) << "crash handler copy failed: crashpad_handler.exe is not a regular file";
    else if (kind != EntryKind::absent)
      LOG(INFO) << "crash handler copy failed: " << error.message();
    return;
  }
  std::unique_ptr<DataFile> partial =
      CreateFresh(folder.crashHandlerNew, /*executable=*/true, error);
  if (partial && CopyContent(*source, *partial, error) && partial->FlushToDisk(error) &&
      MoveInPlace(*partial, folder.crashHandler, error))
    return;
  LOG(INFO) << "crash handler copy failed: " << error.message();
  partial.reset();
  RemoveQuietly(folder.crashHandlerNew);
}

// Writes `result` again, under the patch result's name, for a later start to install.
bool WriteAgain(const DataFolder& folder, DataFile& result, std::unique_ptr<DataFile>& copy,
                std::error_code& error) {
  copy = CreateFresh(folder.patchResult, /*executable=*/true, error);
  return copy && result.Rewind(error) && CopyContent(result, *copy, error) &&
         copy->FlushToDisk(error);
}

// Puts the verified result in the staged executable's place. Should another process put a file
// of its own at the name meanwhile, that one is set aside and the result written again from the
// runner's own handle. False (with the cause) leaves a complete copy as the patch result, for
// the next start.
bool StageResult(const DataFolder& folder, std::unique_ptr<DataFile> result,
                 std::error_code& error) {
  for (int attempt = 0; attempt < kStagingTries; ++attempt) {
    if (MoveInPlace(*result, folder.stagedExecutable, error)) return true;
    if (error != TakenMeanwhile()) return false;
    std::error_code ignored;
    if (const std::optional<std::string> aside = SetAside(folder.stagedExecutable, ignored))
      LOG(INFO)
          << "Quorlin.exe was replaced by another process while it was installed: set aside as "
          << EntryName(*aside);
    std::unique_ptr<DataFile> copy;
    if (!WriteAgain(folder, *result, copy, error)) return false;
    result = std::move(copy);
  }
  error = TakenMeanwhile();
  return false;
}

// Why StageResult failed, for the log.
std::string StagingCause(const std::error_code& error) {
  return error == TakenMeanwhile() ? "another process keeps replacing it" : error.message();
}

// What one installation has read, opened and made so far, so that every way out clears it.
struct InstallState {
  explicit InstallState(const DataFolder& dataFolder)
      : folder(dataFolder), attempts(dataFolder.attemptsFile) {}
  const DataFolder& folder;
  UpdateAttempts attempts;
  Manifest manifest;
  std::string updateId;
  // The patch's header and memory need, read once, before anything is allocated; the driver goes
  // on from the header's end.
  hpatchi_TMemoryNeed need = {};
  bool resultRemoved = true;
  std::unique_ptr<DataFile> patch, started, backup, result;
};

// How an installation that cannot go on ends: the update dropped, or kept for a later run. Either
// way every file it holds is closed and every half-made one removed. Each verdict returns false,
// for the phase that gave it to return.
class Verdicts {
 public:
  explicit Verdicts(InstallState& state) : m_state(state) {}

  // The update cannot be installed, now or later: it is consumed. The staged executable stays.
  bool Drop(const std::string& why, bool forget = true) {
    LOG(INFO) << why << ": update dropped";
    RemoveHalfMadeFiles();
    // A half-made result that could not be removed must not be taken for a whole one later,
    // which a result without its patch would be.
    if (m_state.resultRemoved) RemoveQuietly(m_state.folder.patchFile);
    RemoveQuietly(m_state.folder.manifestFile);
    if (forget) m_state.attempts.Clear();
    return false;
  }

  // A passing failure: the update stays for a later run, up to the attempt limit.
  bool Defer(const std::string& why) {
    if (m_state.updateId.empty()) {
      std::error_code error;
      const std::optional<std::string> digest =
          m_state.patch ? os::Sha256OfFile(*m_state.patch, error) : std::nullopt;
      m_state.updateId = digest.value_or("-");
    }
    const uint32_t attempts = m_state.attempts.CountFailure(m_state.updateId);
    if (attempts >= kUpdateAttemptLimit)
      return Drop(why + " (attempt " + std::to_string(attempts) + ")");
    LOG(INFO) << why << ": update kept for a later run (attempt " << attempts << " of "
              << kUpdateAttemptLimit << ")";
    RemoveHalfMadeFiles();
    return false;
  }

  // A patch the driver could not apply: one still being downloaded, or on a failing disk, may be
  // whole at a later start; a malformed one never is.
  bool Fail(int code, int cause) {
    const std::string result = "result " + std::to_string(code);
    if (cause == HPATCHI_PATCH_ENDED)
      return Defer("Patch ended before its body did (" + result + ")");
    if (cause == HPATCHI_PATCH_READ_ERROR) return Defer("Patch cannot be read (" + result + ")");
    return Drop("patch failed with " + result);
  }

  // True when nothing is expected or `file` holds what `expected` names. A file that cannot be
  // read leaves the update for a later run (`unreadable` leads the cause); other bytes drop it.
  bool MatchesSha256(DataFile& file, const std::optional<std::string>& expected,
                     const std::string& unreadable, const std::string& mismatch) {
    if (!expected) return true;
    std::error_code error;
    const std::optional<std::string> digest = os::Sha256OfFile(file, error);
    if (!digest) return Defer(unreadable + error.message());
    if (*digest != *expected) return Drop(mismatch);
    return true;
  }

 private:
  void RemoveHalfMadeFiles() {
    m_state.patch.reset();
    m_state.started.reset();
    m_state.backup.reset();
    m_state.result.reset();
    RemoveQuietly(m_state.folder.backupCopy);
    m_state.resultRemoved = RemoveQuietly(m_state.folder.patchResult);
  }

  InstallState& m_state;
};

// ---- The checks, before anything is written ----

// The manifest is read whole, and judged, before anything is patched.
bool ReadManifest(InstallState& state, Verdicts& verdicts) {
  std::unique_ptr<DataFile> file = OpenStagingFile(state.folder.manifestFile);
  if (!file) return false;
  std::error_code error;
  std::string bytes;
  if (!ReadWhole(*file, bytes, error, kManifestSizeLimit))
    return verdicts.Drop(error == std::errc::file_too_large
                             ? "update.json is larger than 1 MiB"
                             : "update.json cannot be read: " + error.message());
  switch (ParseManifest(bytes, state.manifest)) {
    case ManifestProblem::none:
      return true;
    case ManifestProblem::notJson:
      return verdicts.Drop("update.json is not valid JSON");
    case ManifestProblem::tooDeep:
      return verdicts.Drop("update.json is nested too deeply");
    case ManifestProblem::malformedBaseSha256:
      return verdicts.Drop("update.json has a malformed base_sha256");
    case ManifestProblem::malformedSha256:
      return verdicts.Drop("update.json has a malformed sha256");
  }
  return false;
}

bool HashPatch(InstallState& state, Verdicts& verdicts) {
  std::error_code error;
  const std::optional<std::string> digest = os::Sha256OfFile(*state.patch, error);
  if (!digest) return verdicts.Defer("Patch cannot be read: " + error.message());
  state.updateId = *digest;
  return true;
}

// The patch is opened once, here, and held open until it is removed. Its header and decompressor
// prefix tell its size and memory before any allocation.
bool CheckPatch(InstallState& state, Verdicts& verdicts) {
  state.patch = OpenStagingFile(state.folder.patchFile);
  if (!state.patch) return false;
  // An update that failed for good before is refused at once when it comes back; a forced one
  // is named, so that it can be refused should its result fail the version check.
  if (state.attempts.AnyKept() || ReadForceFlag(state.manifest.value)) {
    if (!HashPatch(state, verdicts)) return false;
    // Its record stays, to refuse it again should it be staged once more.
    if (state.attempts.IsExhausted(state.updateId))
      return verdicts.Drop("the update failed before", /*forget=*/false);
  }
  std::error_code error;
  if (!state.patch->Rewind(error))
    return verdicts.Defer("Patch cannot be read: " + error.message());
  PatchReading reading{state.patch.get()};
  const int code = hpatchi_memory_need(&reading, ReadFromDataFile, HPATCHI_CACHE_SIZE, &state.need);
  if (code != HPATCHI_OK)
    return verdicts.Fail(code, reading.failed  ? HPATCHI_PATCH_READ_ERROR
                               : reading.ended ? HPATCHI_PATCH_ENDED
                                               : HPATCHI_CAUSE_NONE);
  return true;
}

// The executable that ran is what the patch applies to: the memory and disk space the update
// takes are judged from its size, and its bytes against the manifest's base digest.
bool CheckExecutableThatRan(InstallState& state, Verdicts& verdicts,
                            const std::string& startedExecutable) {
  EntryKind kind = EntryKind::absent;
  std::error_code error;
  state.started = DataFile::OpenRegular(startedExecutable, false, kind, error);
  if (!state.started)
    return verdicts.Defer("the executable that ran cannot be read: " + error.message());
  const uint64_t startedSize = state.started->Size(error);
  // The driver's whole block for these files, its read window and read-ahead included.
  const uint64_t memory =
      hpatchi_run_block_size(&state.need, hl_TRUE, startedSize, state.patch->Size(error));
  if (memory > kPatchMemoryLimit)
    return verdicts.Drop("patch needs " + std::to_string(memory) +
                         " bytes of memory, more than the 256 MiB allowed");
  // Room for the backup copy and the new executable side by side.
  const uint64_t needed = uint64_t(state.need.newSize) + startedSize + kDiskSpaceMargin;
  const std::optional<uint64_t> free = os::FreeSpace(state.folder.folder, error);
  if (free && *free < needed)
    return verdicts.Defer("not enough disk space for the update: " + std::to_string(needed) +
                          " bytes needed, " + std::to_string(*free) + " free");
  return verdicts.MatchesSha256(*state.started, state.manifest.baseSha256,
                                "the executable that ran cannot be read: ",
                                "the update does not fit the executable that ran");
}

// ---- Patching ----

bool MakeBackupCopy(InstallState& state, Verdicts& verdicts) {
  std::error_code error;
  std::unique_ptr<DataFile> copy =
      CreateFresh(state.folder.backupCopy, /*executable=*/false, error);
  const bool copied =
      copy && state.started->Rewind(error) && CopyContent(*state.started, *copy, error);
  // Closed, and held open again for reading only while the patch reads it, through this handle.
  copy.reset();
  state.started.reset();
  if (!copied) return verdicts.Defer("backup copy failed: " + error.message());
  EntryKind kind = EntryKind::absent;
  state.backup = DataFile::OpenRegular(state.folder.backupCopy, false, kind, error);
  if (!state.backup) return verdicts.Defer("backup copy failed: " + error.message());
  return true;
}

bool ApplyPatch(InstallState& state, Verdicts& verdicts) {
  std::error_code error;
  // The patch driver works through the runner's own handles: it reads the files checked here and
  // writes the one made here, exclusively, whatever is renamed or linked in their places.
  state.result = CreateFresh(state.folder.patchResult, /*executable=*/true, error);
  if (!state.result) return verdicts.Defer("Quorlin_new.exe cannot be created: " + error.message());
  using Stdio = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
  Stdio oldFile(state.backup->OpenStdio("rb", error), std::fclose);
  Stdio diffFile(oldFile ? state.patch->OpenStdio("rb", error) : nullptr, std::fclose);
  Stdio newFile(diffFile ? state.result->OpenStdio("r+b", error) : nullptr, std::fclose);
  if (!newFile) return verdicts.Defer("the patch cannot be applied: " + error.message());
  // The driver closes them, and takes the header read in CheckPatch instead of reading it again.
  hpatchi_TOpenFiles files = {oldFile.release(), diffFile.release(), newFile.release()};
  const hpatchi_TOutput output = {stdout, stderr};
  const hpatchi_TOutcome outcome =
      hpatchi_run_after_header(&output, &files, &state.need, state.backup->Path().c_str(),
                               state.patch->Path().c_str(), state.result->Path().c_str());
  const int code = outcome.code;
  if (code == HPATCHI_OK) return true;
  if (outcome.cause != HPATCHI_CAUSE_NONE || IsBadPatch(code))
    return verdicts.Fail(code, outcome.cause);
  std::string why = "patch failed with result " + std::to_string(code);
  // The driver's streams report their causes themselves; a full disk is told here again.
  if (code == HPATCHI_WRITE_ERROR || code == HPATCHI_CLOSE_ERROR) {
    const std::optional<uint64_t> free = os::FreeSpace(state.folder.folder, error);
    if (free && *free < state.need.newSize)
      why += " (" + std::make_error_code(std::errc::no_space_on_device).message() + ")";
  }
  return verdicts.Defer(why);
}

bool CheckPatchResult(InstallState& state, Verdicts& verdicts) {
  std::error_code error;
  // The file the driver wrote through the runner's handle: the hashed bytes are those written.
  if (!state.result->FlushToDisk(error))
    return verdicts.Defer("Quorlin_new.exe cannot be written: " + error.message());
  return verdicts.MatchesSha256(
      *state.result, state.manifest.sha256,
      "Quorlin_new.exe cannot be read: ", "the patched executable does not match sha256");
}

// ---- Completion ----

// The result is complete and on the disk before the patch goes: a patch result without a patch
// is always a whole one, which a later start may install. The patch is gone from the disk
// before the result takes the staged executable's place, so a crash in between can never
// apply it a second time, to its own result.
bool Finish(InstallState& state) {
  state.patch.reset();
  state.backup.reset();
  Remove(state.folder.backupCopy);
  Remove(state.folder.patchFile);
  std::error_code error;
  os::FlushFolder(state.folder.folder, error);
  if (!StageResult(state.folder, std::move(state.result), error)) {
    LOG(INFO) << "Quorlin.exe cannot be replaced (" << StagingCause(error)
              << "): installed at the next start";
    return false;
  }
  state.attempts.Clear();
  Remove(state.folder.manifestFile);
  return true;
}

// The phases in their order; false when the update was not installed (one log line says why).
bool Install(InstallState& state, const std::string& startedExecutable) {
  Verdicts verdicts(state);
  if (!ReadManifest(state, verdicts) || !CheckPatch(state, verdicts) ||
      !CheckExecutableThatRan(state, verdicts, startedExecutable) ||
      !MakeBackupCopy(state, verdicts) || !ApplyPatch(state, verdicts) ||
      !CheckPatchResult(state, verdicts))
    return false;
  PlaceCrashHandler(state.folder);
  return Finish(state);
}

// The manifest's digest of the patch result, read for a recovery; nothing without one. False
// when there is no manifest that can be read.
bool ReadResultDigest(const DataFolder& folder, std::optional<std::string>& digest) {
  EntryKind kind = EntryKind::absent;
  std::error_code error;
  std::unique_ptr<DataFile> file = DataFile::OpenRegular(folder.manifestFile, false, kind, error);
  if (!file) return false;
  std::string bytes;
  Manifest manifest;
  if (!ReadWhole(*file, bytes, error, kManifestSizeLimit) ||
      ParseManifest(bytes, manifest) != ManifestProblem::none)
    return false;
  digest = manifest.sha256;
  return true;
}

}  // namespace

InstallOutcome InstallStagedUpdate(const DataFolder& folder, const std::string& startedExecutable) {
  // Outlives the lock, as what it holds is closed on every way out of Install.
  InstallState state(folder);
  std::error_code busy;
  const std::unique_ptr<os::FileLock> lock = TakeInstallLock(folder, busy);
  InstallOutcome outcome;
  if (!lock) {
    LOG(INFO) << "the installation cannot start (" << InstallLockProblem(busy)
              << "): update kept for a later run";
    return outcome;
  }
  if (Install(state, startedExecutable)) {
    outcome.manifest = std::move(state.manifest.value);
    if (ReadForceFlag(outcome.manifest)) outcome.updateId = state.updateId;
    return outcome;
  }
  if (ReadForceFlag(state.manifest.value))
    LOG(INFO) << "force not honoured: the update was not installed";
  return outcome;
}

void RecoverInterruptedInstall(const DataFolder& folder) {
  std::error_code busy;
  const std::unique_ptr<os::FileLock> lock = TakeInstallLock(folder, busy);
  // Another runner's installation is under way, or none can be: its files are not touched.
  if (!lock) return;
  RemoveLeftoverFreshFiles(folder.folder);
  std::error_code error;
  if (os::ExamineEntry(folder.patchResult, error) == EntryKind::absent) return;
  // With the patch still there the next installation makes the result again. The manifest goes
  // only after the result is in place: a result without it was never a whole installation's.
  if (os::ExamineEntry(folder.patchFile, error) != EntryKind::absent) return;
  if (os::ExamineEntry(folder.manifestFile, error) == EntryKind::absent) {
    RemoveQuietly(folder.patchResult);
    return;
  }
  EntryKind kind = EntryKind::absent;
  std::unique_ptr<DataFile> result = DataFile::OpenRegular(folder.patchResult, true, kind, error);
  if (!result) {
    if (kind == EntryKind::other)
      SetAsideLogged(folder.patchResult, kind, error);
    else
      LOG(INFO) << "interrupted installation cannot be completed: " << error.message();
    return;
  }
  // A manifest that names a digest decides; without one the result is whole by construction.
  std::optional<std::string> expected;
  if (ReadResultDigest(folder, expected) && expected &&
      os::Sha256OfFile(*result, error) != expected) {
    result.reset();
    RemoveQuietly(folder.patchResult);
    return;
  }
  // Failing here must not keep the installed executable from starting: a later start tries again.
  if (!StageResult(folder, std::move(result), error)) {
    LOG(INFO) << "interrupted installation cannot be completed: " << StagingCause(error);
    return;
  }
  UpdateAttempts(folder.attemptsFile).Clear();
  RemoveQuietly(folder.manifestFile);
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
