#include "app/runner/install.h"

#include <filesystem>
#include <system_error>

#include "app/runner/file_system.h"
#include "app/runner/os/os.h"
#include "app/runner/staging.h"
#include "patch/hpatchi.h"

namespace runner {
namespace {

namespace fs = std::filesystem;

// Removes a half-made file when its step is abandoned; a file that made it is released.
class PartialFile {
 public:
  explicit PartialFile(std::string path) : m_path(std::move(path)) {}
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  ~PartialFile() {
    std::error_code ignored;
    if (!m_path.empty()) fs::remove(m_path, ignored);
  }
  const std::string& Path() const { return m_path; }
  void Release() { m_path.clear(); }

 private:
  std::string m_path;
};

// Writes the patch result to `output`, complete and on disk, or leaves no file there.
bool PatchInto(const std::string& backupCopy, const std::string& patchFile, PartialFile& output) {
  fs::remove(output.Path());  // a stray one from an interrupted run
  const std::string oldPath = os::PatchEnginePath(backupCopy);
  const std::string diffPath = os::PatchEnginePath(patchFile);
  const std::string outPath = os::PatchEnginePath(output.Path());
  if (hpatchi_run(oldPath.c_str(), diffPath.c_str(), outPath.c_str()) != 0) {
    fs::remove(output.Path());
    return false;
  }
  os::FlushFileToDisk(output.Path());
  os::CopyExecutePermission(backupCopy, output.Path());
  return true;
}

// Places a copy of the crash handler only when none is there; the copy appears whole or not at all.
void PlaceCrashHandler(const std::string& dataFolder) {
  const std::string copy = dataFolder + "crashpad_handler.exe";
  const std::string source = "crashpad_handler.exe";
  if (PathExists(copy) || !PathExists(source)) return;
  PartialFile partial(dataFolder + "crashpad_handler_new.exe");
  fs::copy_file(source, partial.Path(), fs::copy_options::overwrite_existing);
  os::FlushFileToDisk(partial.Path());
  os::ReplaceFileAtomically(partial.Path(), copy);
  partial.Release();
}

}  // namespace

nlohmann::json InstallStagedUpdate(const std::string& dataFolder, const std::string& startedExecutable,
                                   const std::string& patchFile, const std::string& stagedExecutable,
                                   const std::string& manifestFile) {
  const std::string backupCopy = dataFolder + "Quorlin_old.exe";
  // The backup copy is the runner's own transient file: one left by an interrupted run is replaced.
  fs::copy_file(startedExecutable, backupCopy, fs::copy_options::overwrite_existing);

  // The staged executable is only ever replaced whole, by renaming a complete file over it.
  PartialFile patched(dataFolder + "Quorlin_new.exe");
  const bool patchSucceeded = PatchInto(backupCopy, patchFile, patched);

  PlaceCrashHandler(dataFolder);
  fs::remove(backupCopy);
  fs::remove(patchFile);
  if (patchSucceeded) {
    // The patch is gone from the disk before its result takes the staged executable's place,
    // so a crash in between can never apply it a second time, to its own result.
    os::FlushFolder(dataFolder);
    os::ReplaceFileAtomically(patched.Path(), stagedExecutable);
    patched.Release();
  }
  return ReadManifest(manifestFile);
}

}  // namespace runner
