// SHA-256 through the system's CNG (BCrypt) hash provider.
#include "app/runner/os/os.h"

#include <windows.h>
#include <bcrypt.h>

#include <string>

#include "app/runner/os/file_pieces.h"
#include "app/runner/os/hex_text.h"

namespace runner::os {
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

// The provider and the hash object, closed in the reverse order of their opening.
class Sha256Hash {
 public:
  Sha256Hash() : m_calls(BCrypt()) {
    if (!m_calls.Ready()) return;
    if (!BCRYPT_SUCCESS(
            m_calls.openAlgorithmProvider(&m_algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      m_algorithm = nullptr;
      return;
    }
    if (!BCRYPT_SUCCESS(m_calls.createHash(m_algorithm, &m_hash, nullptr, 0, nullptr, 0, 0)))
      m_hash = nullptr;
  }
  Sha256Hash(const Sha256Hash&) = delete;
  Sha256Hash& operator=(const Sha256Hash&) = delete;
  ~Sha256Hash() {
    if (m_hash != nullptr) m_calls.destroyHash(m_hash);
    if (m_algorithm != nullptr) m_calls.closeAlgorithmProvider(m_algorithm, 0);
  }
  bool Ready() const { return m_hash != nullptr; }
  bool Add(const unsigned char* data, size_t count) {
    return BCRYPT_SUCCESS(
        m_calls.hashData(m_hash, const_cast<PUCHAR>(data), static_cast<ULONG>(count), 0));
  }
  bool Finish(unsigned char (&digest)[32]) {
    return BCRYPT_SUCCESS(m_calls.finishHash(m_hash, digest, 32, 0));
  }

 private:
  const BCryptCalls& m_calls;
  BCRYPT_ALG_HANDLE m_algorithm = nullptr;
  BCRYPT_HASH_HANDLE m_hash = nullptr;
};

}  // namespace

std::optional<std::string> Sha256OfFile(DataFile& file, std::error_code& error) {
  if (!file.Rewind(error)) return std::nullopt;
  Sha256Hash hash;
  if (!hash.Ready()) {
    error = std::make_error_code(std::errc::not_supported);
    return std::nullopt;
  }
  const bool read = ReadToEndInPieces(file, error, [&](const unsigned char* bytes, size_t count) {
    if (hash.Add(bytes, count)) return true;
    error = std::make_error_code(std::errc::io_error);
    return false;
  });
  if (!read) return std::nullopt;
  unsigned char digest[32];
  if (!hash.Finish(digest)) {
    error = std::make_error_code(std::errc::io_error);
    return std::nullopt;
  }
  return HexText(digest, sizeof digest);
}

}  // namespace runner::os
