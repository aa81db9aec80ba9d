// Writing the manifest mkpatch puts beside a patch (its text: app/manifest).
#ifndef TOOLS_MKPATCH_MANIFEST_H
#define TOOLS_MKPATCH_MANIFEST_H

#include <string>

namespace mkpatch {

// Writes the manifest to path whole or not at all; false with the reason in error.
bool write_manifest(const std::string& path, const std::string& text, std::string& error);

}  // namespace mkpatch

#endif
