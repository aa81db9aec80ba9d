// SHA-256 through the system's CNG (BCrypt) hash provider.
#include <windows.h>
#include <bcrypt.h>

#include <string>

#include "app/sha256/sha256.h"

namespace digest {
namespace {

// bcrypt.dll is loaded from System32 only, never from the runner's folder, where a DLL
// of that name could lie beside a downloaded runner; it is no static import for the same reason.
struct BCryptCalls {
  decltype(&::BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
  decltype(&::BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
  decltype(&::BCryptCreateHash) createHash = nullptr;
  decltype(&::BCryptDestroyHash) destroyHash = nullptr;
  decltype(&::BCryptHashData) hashData = nullptr;
  decltype(&::BCryptFinishHash) finishHash = nullptr;
  bool Ready() const {
    return openAlgorithmProvider && closeAlgorithmProvider && createHash && destroyHash &&
           hashData && finishHash;
  }
};

template <typename Call>
void Find(HMODULE library, const char* name, Call& call) {
  call = reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

HMODULE LoadFromSystem32() {
  if (HMODULE library = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    return library;
  // A system without the System32-only search: the full path says the same.
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return ::LoadLibraryExW((std::wstring(folder, length) + L"\\bcrypt.dll").c_str(), nullptr,
                          LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Loaded on first use and kept for the life of the process.
const BCryptCalls& BCrypt() {
  static const BCryptCalls calls = [] {
    BCryptCalls found;
    const HMODULE library = LoadFromSystem32();
    if (library == nullptr) return found;
    Find(library, "BCryptOpenAlgorithmProvider", found.openAlgorithmProvider);
    Find(library, "BCryptCloseAlgorithmProvider", found.closeAlgorithmProvider);
    Find(library, "BCryptCreateHash", found.createHash);
    Find(library, "BCryptDestroyHash", found.destroyHash);
    Find(library, "BCryptHashData", found.hashData);
    Find(library, "BCryptFinishHash", found.finishHash);
    return found;
  }();
  return calls;
}

}  // namespace

// The provider and the hash object, closed in the reverse order of their opening.
struct Sha256::State {
  const BCryptCalls& calls = BCrypt();
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) calls.destroyHash(hash);
    if (algorithm != nullptr) calls.closeAlgorithmProvider(algorithm, 0);
  }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
  State& state = *m_state;
  if (!state.calls.Ready() || !BCRYPT_SUCCESS(state.calls.openAlgorithmProvider(
                                  &state.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    state.algorithm = nullptr;
  else if (!BCRYPT_SUCCESS(
               state.calls.createHash(state.algorithm, &state.hash, nullptr, 0, nullptr, 0, 0)))
    state.hash = nullptr;
  if (state.hash == nullptr) m_failure = std::make_error_code(std::errc::not_supported);
}

Sha256::~Sha256() = default;

bool Sha256::Add(const unsigned char* bytes, std::size_t count) {
  if (m_failure) return false;
  if (BCRYPT_SUCCESS(m_state->calls.hashData(m_state->hash, const_cast<PUCHAR>(bytes),
                                             static_cast<ULONG>(count), 0)))
    return true;
  m_failure = std::make_error_code(std::errc::io_error);
  return false;
}

std::optional<std::string> Sha256::FinishHex() {
  if (m_failure) return std::nullopt;
  unsigned char digest[32];
  if (!BCRYPT_SUCCESS(m_state->calls.finishHash(m_state->hash, digest, sizeof digest, 0))) {
    m_failure = std::make_error_code(std::errc::io_error);
    return std::nullopt;
  }
  return HexText(digest, sizeof digest);
}

}  // namespace digest
