#pragma once

#include <filesystem>
#include <string>

#include "trust/update_descriptor.h"

namespace qvs {

struct PublishRequest {
  std::filesystem::path private_key;
  std::filesystem::path site;
  std::string version;
  std::filesystem::path package;
  std::string name;  // empty: DefaultPackageName(version)
};

struct PublishedRelease {
  UpdateDescriptorRecord record;
  std::filesystem::path package_file;
  std::filesystem::path descriptor_file;
  std::filesystem::path signature_file;
  bool package_already_there = false;
};

// Where the service serves the release files, relative to the site's root.
inline constexpr char kClientFolder[] = "downloads/client";

std::string DefaultPackageName(const std::string& version);

// Lays out or updates the site: the package, then "stable.manifest", then "stable.manifest.sig",
// each replaced whole. Every check runs before the first write, so a refusal (ToolError or the
// launcher's sentence) leaves the site as it was. A package file that already exists is never
// replaced: with the same bytes it is kept, with other bytes the release is refused.
PublishedRelease PublishRelease(const PublishRequest& request);

}  // namespace qvs
