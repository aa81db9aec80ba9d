// Checks a patch by applying it with the patch driver and comparing the result with NEW.
#ifndef TOOLS_MKPATCH_VERIFY_H
#define TOOLS_MKPATCH_VERIFY_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mkpatch {

// Applies patchPath to oldPath into a temporary file beside the patch. On a mismatch or a
// driver failure returns false and says why; the temporary file is always removed.
bool verify_patch(const std::string& oldPath, const std::string& patchPath,
                  const std::vector<uint8_t>& expected, std::string& why);

// The same, with NEW read back from newPath as the result is compared.
bool verify_patch(const std::string& oldPath, const std::string& patchPath,
                  const std::string& newPath, std::string& why);

}  // namespace mkpatch

#endif
