#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/update_service_layout.h"

namespace qvs {

// The signed text by which the update service names the current release.
struct UpdateDescriptorRecord {
  std::string version;
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;

  bool operator==(const UpdateDescriptorRecord&) const = default;
};

inline constexpr char kDescriptorMagicLine[] = "QVS-SUPPORT-UPDATE-V1\n";

// Parses a descriptor whose signature has already been verified. Raises a LauncherFailure with
// the sentence of the first fault.
UpdateDescriptorRecord ParseUpdateDescriptor(std::span<const std::uint8_t> bytes);

// The value rules on their own, in the parse's order; each raises the parse's sentence.
void ValidateVersion(const std::string& version);
void ValidatePackagePath(const std::string& path);
void ValidatePackageSize(std::uint64_t size);
void ValidateDigestText(const std::string& sha256);

// The descriptor text for a record: the magic line, then version, path, size and sha256, each
// line ended by LF. Validates the record first, so what it writes always parses back to it.
std::string WriteUpdateDescriptor(const UpdateDescriptorRecord& record);

}  // namespace qvs
