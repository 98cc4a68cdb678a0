#include "tools/qvs-release/publish.h"

#include <algorithm>
#include <system_error>

#include "common/launcher_failure.h"
#include "tools/qvs-release/key_files.h"
#include "tools/qvs-release/posix_file.h"
#include "tools/qvs-release/signing.h"
#include "tools/qvs-release/tool_error.h"

namespace qvs {
namespace {

constexpr mode_t kPublishedFileMode = 0644;

ByteView ViewOf(const std::string& text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void CheckVersion(const std::string& version) {
  try {
    ValidateVersion(version);
  } catch (const LauncherFailure& failure) {
    throw ToolError("version \"" + version + "\": " + failure.what() +
                    " (1 to 32 characters, each a digit, \"-\" or \".\")");
  }
  // Windows drops a trailing dot from a folder name, so "2." would share the launcher's store
  // folder with "2" (and "." or ".." would not be a folder of its own at all).
  if (version.ends_with('.')) {
    throw ToolError("version \"" + version + "\": must not end with \".\"; Windows drops the dot from the folder " +
                    "name, so the launcher would keep this release in another version's folder");
  }
}

// Characters that every web server and CDN maps to the same file name, unescaped.
bool IsPlainNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

std::string CheckedPackagePath(const std::string& name) {
  if (name.empty() || name == "." || !std::all_of(name.begin(), name.end(), IsPlainNameCharacter)) {
    throw ToolError("package name \"" + name + "\": use only letters, digits, \".\", \"-\" and \"_\"");
  }
  const std::string path = std::string(kPackagePathPrefix) + name;
  try {
    ValidatePackagePath(path);
  } catch (const LauncherFailure& failure) {
    throw ToolError("package path \"" + path + "\" (" + std::to_string(path.size()) + " bytes): " + failure.what() +
                    " (at most 240 bytes, no \"..\")");
  }
  return path;
}

ByteBuffer ReadPackage(const std::filesystem::path& path) {
  // The size first, so that an oversized package is reported as such and never read.
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  try {
    if (!error) {
      ValidatePackageSize(size);
    }
    return ReadBoundedFile(path, kPackageSizeLimit);
  } catch (const LauncherFailure& failure) {
    const std::string detail =
        error ? std::string()
              : " (" + std::to_string(size) + " bytes; a package holds 1 to " + std::to_string(kPackageSizeLimit) + ")";
    throw ToolError("package " + path.string() + ": " + failure.what() + detail);
  }
}

// Nothing but a regular file, or nothing at all, may stand where a release file goes.
bool RegularFileExists(const std::filesystem::path& path) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    return false;
  }
  if (error || status.type() != std::filesystem::file_type::regular) {
    throw ToolError(path.string() + ": exists and is not a regular file; left unchanged");
  }
  return true;
}

// True when the published file already holds `bytes`; refuses other bytes.
bool SamePackageAlreadyPublished(const std::filesystem::path& target, const ByteBuffer& bytes) {
  if (!RegularFileExists(target)) {
    return false;
  }
  std::error_code error;
  const auto size = std::filesystem::file_size(target, error);
  bool same = !error && size == bytes.size();
  if (same) {
    try {
      same = ReadBoundedFile(target, kPackageSizeLimit) == bytes;
    } catch (const LauncherFailure& failure) {
      throw ToolError(target.string() + ": " + failure.what());
    }
  }
  if (!same) {
    throw ToolError(target.string() +
                    ": already holds a different package. Published packages never change, because caches "
                    "and CDNs may keep them for ever: publish under another --version or --name");
  }
  return true;
}

}  // namespace

std::string DefaultPackageName(const std::string& version) { return "QuorvantisSupportHost-" + version + ".exe"; }

PublishedRelease PublishRelease(const PublishRequest& request) {
  CheckVersion(request.version);
  const std::string name = request.name.empty() ? DefaultPackageName(request.version) : request.name;
  PublishedRelease release;
  release.record.version = request.version;
  release.record.path = CheckedPackagePath(name);
  const ScopedPkey key = LoadPrivateKey(request.private_key);
  const ByteBuffer package = ReadPackage(request.package);
  release.record.size = package.size();
  release.record.sha256 = ToDigestText(Sha256Of(package));

  const std::string descriptor = WriteUpdateDescriptor(release.record);
  // The launcher reads at most this much descriptor, and must parse back exactly this record.
  if (descriptor.size() > kDescriptorSizeLimit || ParseUpdateDescriptor(ViewOf(descriptor)) != release.record) {
    throw ToolError("the descriptor written would not be read back unchanged by the launcher");
  }
  const ByteBuffer signature = SignDescriptor(key.get(), ViewOf(descriptor));

  const std::filesystem::path client = request.site / kClientFolder;
  release.package_file = client / "packages" / name;
  release.descriptor_file = client / "stable.manifest";
  release.signature_file = client / "stable.manifest.sig";
  release.package_already_there = SamePackageAlreadyPublished(release.package_file, package);
  RegularFileExists(release.descriptor_file);
  RegularFileExists(release.signature_file);

  // The package first, so the descriptor that names it is never served without it; the
  // descriptor before its signature, as the launcher stores them.
  std::filesystem::create_directories(release.package_file.parent_path());
  if (!release.package_already_there) {
    PlaceNewFileAtomically(release.package_file, package, kPublishedFileMode);
  }
  ReplaceFileAtomically(release.descriptor_file, ViewOf(descriptor), kPublishedFileMode);
  ReplaceFileAtomically(release.signature_file, signature, kPublishedFileMode);
  return release;
}

}  // namespace qvs
