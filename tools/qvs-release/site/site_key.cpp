#include "tools/qvs-release/site/site_key.h"

#include <system_error>

#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"

namespace qvs {
namespace {}  // namespace

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
