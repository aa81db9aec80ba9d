#include "tests/soak/soak_faults.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

namespace soak {

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::none:
      return "none";
    case Fault::corruptPatch:
      return "corrupt patch";
    case Fault::truncatedPatch:
      return "truncated patch";
    case Fault::malformedManifest:
      return "malformed manifest";
    case Fault::killedRunner:
      return "killed runner";
    case Fault::fullDisk:
      return "full disk";
    case Fault::unreadableFolder:
      return "unreadable data folder";
    case Fault::staleLockFile:
      return "stale lock file";
    case Fault::foreignLockPath:
      return "foreign object at the lock path";
    case Fault::racingRunners:
      return "racing runners";
    case Fault::endlessProbe:
      return "endless probe";
    case Fault::hashedUpdate:
      return "hashed update";
    case Fault::wrongBase:
      return "wrong base";
    case Fault::wrongResult:
      return "wrong result";
    case Fault::linkAtOwnFile:
      return "link at a runner's file";
    case Fault::fifoStagingFile:
      return "FIFO staging file";
    case Fault::oversizedManifest:
      return "oversized manifest";
    case Fault::bigDictionary:
      return "huge dictionary";
    case Fault::diskFillsUp:
      return "disk full, then freed";
    case Fault::forceLoop:
      return "force loop";
    case Fault::forcedOlder:
      return "forced update answering older";
    case Fault::slowProbe:
      return "slow probe";
    case Fault::probeHandoff:
      return "probe output held by a helper";
    case Fault::locklessRace:
      return "lock-less racing runners";
    case Fault::nameSwap:
      return "name swap during install";
  }
  return "?";
}

void CorruptPatch(std::vector<uint8_t>& patch, std::mt19937& rng) {
  if (patch.size() < 4) return;
  switch (rng() % 5) {
    case 0:
      patch[rng() % 2] ^= static_cast<uint8_t>(1 + rng() % 255);
      break;  // magic
    case 1:
      patch[3] = static_cast<uint8_t>(patch[3] | 0x80);
      break;  // format version
    case 2:
      patch[3] = static_cast<uint8_t>(0x40 | (5 + rng() % 3));
      break;  // size field wider than 4
    case 3:
      patch[2] = static_cast<uint8_t>(5 + rng() % 251);
      break;  // unknown compress_type
    default: {
      const size_t header = 4 + (patch[3] & 7) + ((patch[3] >> 3) & 7);
      for (size_t i = header; i < patch.size(); ++i) patch[i] = static_cast<uint8_t>(rng());
      break;
    }
  }
}

void TruncatePatch(std::vector<uint8_t>& patch, std::mt19937& rng) {
  if (!patch.empty()) patch.resize(rng() % patch.size());
}

std::string MalformedManifest(std::mt19937& rng) {
  static const char* const kinds[] = {"",
                                      "{",
                                      R"({"force": true} x)",
                                      R"({"force": true} // done)",
                                      R"({"force": tru})",
                                      R"({"force": true}{"force": true})",
                                      "[1, 2",
                                      "\xff\xfe{}",
                                      R"({"force": 1e999})",
                                      "{'force': true}"};
  const size_t pick = rng() % 11;
  if (pick < 10) return kinds[pick];
  std::string noise(1 + rng() % 64, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  return "{" + noise;  // an opened object that never closes properly
}

void DeclareHugeDictionary(std::vector<uint8_t>& patch) {
  const size_t header = 4 + (patch[3] & 7) + ((patch[3] >> 3) & 7);
  if (patch[2] == 1) {
    patch[header] = 0, patch[header + 1] = 0, patch[header + 2] = 0, patch[header + 3] = 0x40;
  } else {
    patch[header] = 40;
  }
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  getrlimit(RLIMIT_FSIZE, &m_saved);
  rlimit capped = m_saved;
  capped.rlim_cur = bytes;
  if (setrlimit(RLIMIT_FSIZE, &capped) != 0)
    throw std::system_error(errno, std::generic_category(), "setrlimit");
}

FileSizeLimit::~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }

FolderMode::FolderMode(std::filesystem::path folder, std::filesystem::perms mode)
    : m_folder(std::move(folder)) {
  std::filesystem::permissions(m_folder, mode, std::filesystem::perm_options::replace);
}

FolderMode::~FolderMode() {
  std::error_code ignored;
  std::filesystem::permissions(m_folder, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace, ignored);
}

bool GiveUpFileAccessOverride() {
  if (::geteuid() != 0) return true;
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
    if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t mask = ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  data[0].effective &= mask;
  data[0].permitted &= mask;
  data[0].inheritable &= mask;
  return ::syscall(SYS_capset, &header, data) == 0;
}

bool WaitForExit(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

std::string Report(const Counts& counts, uint32_t seed, bool lockOutPossible) {
  std::ostringstream out;
  out << "soak: " << counts.cycles << " cycles (seed " << seed << ")\n";
  for (const auto& [fault, n] : counts.faults) out << "  " << FaultName(fault) << ": " << n << "\n";
  out << "  recoveries after a fault: " << counts.recoveries << "\n"
      << "  updates installed: " << counts.installed << ", not installed: " << counts.notInstalled
      << "\n"
      << "  transient files left by a killed runner: " << counts.leftoversAfterKill << "\n"
      << "  updates refused or kept back with a log line: " << counts.refused << "\n";
  if (!lockOutPossible)
    out << "  (data-folder lock-out not possible here: those cycles ran clean)\n";
  return out.str();
}

}  // namespace soak
