#include "tools/qvs-release/site/site_key.h"

#include <system_error>

#include "common/launcher_failure.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"

namespace qvs {

std::string KeyFingerprint(ByteView blob) { return "SHA256:" + ToDigestText(Sha256Of(blob)); }

std::optional<ByteBuffer> ReadSiteKey(const std::filesystem::path& site) {
  const std::filesystem::path path = site / kSiteKeyFileName;
  if (!Exists(path)) {
    return std::nullopt;
  }
  return ReadPublicKeyBlob(path);
}

void RequireMatchingKey(const SigningKey& key, ByteView expected, const std::string& source) {
  const ByteBuffer& actual = key.public_blob();
  if (ByteView(actual).size() == expected.size() && std::equal(actual.begin(), actual.end(), expected.begin())) {
    return;
  }
  throw ToolError("the private key " + key.name() + " (fingerprint " + KeyFingerprint(actual) + ") does not match " +
                  source + " (fingerprint " + KeyFingerprint(expected) +
                  "): launchers that trust that key would refuse the release");
}

std::optional<ByteBuffer> DecideSiteKey(const std::filesystem::path& site, const SigningKey& key,
                                        const ByteBuffer* given, const std::string& given_source) {
  if (given != nullptr) {
    RequireMatchingKey(key, *given, given_source);
  }
  const std::filesystem::path key_file = site / kSiteKeyFileName;
  if (const std::optional<ByteBuffer> site_key = ReadSiteKey(site)) {
    if (given != nullptr && *given != *site_key) {
      throw ToolError(given_source + " (fingerprint " + KeyFingerprint(*given) +
                      ") is not the key this site is published for (fingerprint " + KeyFingerprint(*site_key) +
                      ", in " + key_file.string() + "); to move the site to another key, remove that file first");
    }
    RequireMatchingKey(key, *site_key, "the site's key file " + key_file.string());
    return std::nullopt;
  }
  if (given != nullptr) {
    return *given;
  }
  const ByteBuffer& own = key.public_blob();
  const std::filesystem::path client = site / kClientFolder;
  if (Exists(client / kManifestName)) {
    bool signed_with_key = false;
    try {
      signed_with_key =
          SignatureMatches(key.public_key(), ReadBoundedFile(client / kManifestName, kDescriptorSizeLimit),
                           ReadBoundedFile(client / kManifestSignatureName, kSignatureSizeLimit));
    } catch (const LauncherFailure&) {
    }
    if (!signed_with_key) {
      throw ToolError(site.string() + " holds a release but no " + kSiteKeyFileName +
                      " saying which key its launchers trust, and its stable.manifest.sig was not made with the "
                      "private key " +
                      key.name() + " (fingerprint " + KeyFingerprint(own) +
                      "). Give --public-key with the key the launchers are built with");
    }
  }
  return own;
}

std::optional<std::filesystem::path> EnclosingSite(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::weakly_canonical(std::filesystem::absolute(file), error);
  if (error) {
    folder = std::filesystem::absolute(file).lexically_normal();
  }
  while (folder.has_relative_path()) {
    folder = folder.parent_path();
    if (Exists(folder / kSiteKeyFileName)) {
      return folder;
    }
  }
  return std::nullopt;
}

}  // namespace qvs
