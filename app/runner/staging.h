// The staging area in the data folder: is an update waiting, what does its manifest ask for.
#pragma once

#include <string>

#include "app/manifest/manifest.h"

namespace runner {

// An update is staged when the manifest path is set and both the manifest and the patch
// entries are there, tested in that order. Entries are examined as they stand, links not
// followed; one the system cannot examine counts as there, for the installation to set aside.
bool IsUpdateStaged(const std::string& manifestFile, const std::string& patchFile);

// The manifest module's names, as the runner's own.
using update_manifest::kManifestDepthLimit;
using update_manifest::kManifestSizeLimit;
using update_manifest::Manifest;
using update_manifest::ManifestProblem;
using update_manifest::ParseManifest;
using update_manifest::ReadForceFlag;

}  // namespace runner
