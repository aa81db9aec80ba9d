// The faults a soak cycle can inject into an update, and the process conditions behind them.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace soak {

enum class Fault {
  none,
  corruptPatch,
  truncatedPatch,
  malformedManifest,
  killedRunner,
  fullDisk,
  unreadableFolder,
  staleLockFile,      // a lock file left with a live pid, empty, or with another mode
  foreignLockPath,    // a folder, a link or a FIFO where the lock file belongs
  racingRunners,      // two runners started at the same instant
  endlessProbe,       // an executable whose --version never ends
  hashedUpdate,       // a clean update whose manifest names base and result
  wrongBase,          // the manifest names another base
  wrongResult,        // the manifest names a result one byte off
  linkAtOwnFile,      // a link to a file of the user's stands at one of the runner's own names
  fifoStagingFile,    // the patch or the manifest is a FIFO
  oversizedManifest,  // a manifest over 1 MiB
  bigDictionary,      // a patch whose decompressor would take gigabytes
  diskFillsUp,        // the data folder's disk has no room until the next run
  forceLoop,          // the application stages a failing forced update at every run
  forcedOlder,        // a forced update whose result answers an older version, staged again
  slowProbe,          // an executable probed before answers after more than 5 s
  probeHandoff,       // a probe leaves a child holding its output open after it answered
  locklessRace,       // two runners at once, the single-instance lock's name taken by a folder
  nameSwap,           // another process renames its file over the result as it is installed
};
constexpr int kFaultKinds = 24;  // the kinds after `none`

const char* FaultName(Fault fault);

// Damages the header or replaces everything after it with random bytes; either way the driver
// must refuse the patch (the format has no checksum, so single flipped body bytes are not used).
void CorruptPatch(std::vector<uint8_t>& patch, std::mt19937& rng);
// Cuts the patch at a random length shorter than it is.
void TruncatePatch(std::vector<uint8_t>& patch, std::mt19937& rng);
// A manifest the JSON library refuses: broken syntax, trailing data, a comment, a number beyond
// a double, or random bytes.
std::string MalformedManifest(std::mt19937& rng);
// Declares a dictionary the runner must refuse: 2^30 bytes for tuz, property 40 for LZMA2.
void DeclareHugeDictionary(std::vector<uint8_t>& patch);

// Lowers the soft RLIMIT_FSIZE of this process (and so of the children it starts) while alive.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit();

 private:
  rlimit m_saved{};
};

// Gives a folder other permissions while alive, then full owner access again.
class FolderMode {
 public:
  FolderMode(std::filesystem::path folder, std::filesystem::perms mode);
  FolderMode(const FolderMode&) = delete;
  FolderMode& operator=(const FolderMode&) = delete;
  ~FolderMode();

 private:
  std::filesystem::path m_folder;
};

// Makes file permissions bind this process and its children even when run as root, by giving
// up the capabilities that override them. False when that is not possible here.
bool GiveUpFileAccessOverride();

// Waits until the child has ended, without reaping it; false after `limit`.
bool WaitForExit(pid_t pid, std::chrono::seconds limit);

struct Counts {
  int cycles = 0;
  std::map<Fault, int> faults;
  int recoveries = 0;    // faulted cycles after which a fresh runner started a complete executable
  int installed = 0;     // cycles that ended with the new version staged
  int notInstalled = 0;  // cycles whose update was refused or lost to the fault
  int leftoversAfterKill = 0;  // transient files a killed runner left for the next installation
  int refused = 0;             // updates the runner refused or kept back, each with its log line
};

std::string Report(const Counts& counts, uint32_t seed, bool lockOutPossible);

}  // namespace soak
