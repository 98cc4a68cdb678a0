#include "tools/qvs-release/site/sign.h"

#include <optional>
#include <system_error>
#include <utility>

#include "common/launcher_failure.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_factory.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/pkcs11_uri.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/site_key.h"

namespace qvs {

namespace {

// --out replaces nothing but an earlier signature: never the key, the passphrase or PIN, the
// descriptor, nor any file that is not 64 bytes, whose loss could not be undone.
void RequireReplaceableOut(const std::filesystem::path& out, const std::string& private_key,
                           const std::filesystem::path& descriptor, const std::filesystem::path& public_key,
                           const KeyAccess& access) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(out, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    return;
  }
  const std::pair<std::filesystem::path, const char*> inputs[] = {
      {IsPkcs11Uri(private_key) ? std::filesystem::path() : std::filesystem::path(private_key), "--private-key"},
      {descriptor, "--descriptor"},
      {public_key, "--public-key"},
      {access.passphrase_file, "--passphrase-file"},
      {access.pin_file, "--pin-file"},
  };
  for (const auto& [input, option] : inputs) {
    if (!input.empty() && std::filesystem::equivalent(input, out, error)) {
      throw UsageError("--out " + out.string() + " is the file of " + option + "; refusing to replace it");
    }
  }
  const auto size = std::filesystem::file_size(out, error);
  if (error || size != kSignatureSize) {
    throw ToolError("--out " + out.string() + " exists and is not a 64-byte signature" +
                    (error ? std::string() : " (" + std::to_string(size) + " bytes)") +
                    "; refusing to replace it. Remove it first, or choose another --out");
  }
}

}  // namespace

UpdateDescriptorRecord SignDescriptorFile(const std::string& private_key, const std::filesystem::path& descriptor,
                                          const std::filesystem::path& out, const std::filesystem::path& public_key,
                                          const KeyAccess& access) {
  RequireReplaceableOut(out, private_key, descriptor, public_key, access);
  const std::optional<std::filesystem::path> site = EnclosingSite(out);
  // A signature that sign puts into the served tree of a logged site would be served unlogged.
  if (site && Exists(*site / kSiteLogKeyFileName)) {
    throw ToolError("--out " + out.string() + " lies in the site " + site->string() +
                    ", which keeps a release log: a signature written there would be served without being logged. "
                    "Publish the release with 'qvs-release publish --log-key' instead");
  }
  std::unique_ptr<SigningKey> key = OpenSigningKey(private_key, access);
  if (!public_key.empty()) {
    RequireMatchingKey(*key, ReadPublicKeyBlob(public_key), "--public-key " + public_key.string());
  }
  if (site) {
    if (const std::optional<ByteBuffer> site_key = ReadSiteKey(*site)) {
      RequireMatchingKey(*key, *site_key,
                         "the key file " + (*site / kSiteKeyFileName).string() + " of the site --out lies in");
    }
  }
  const ByteBuffer bytes = ReadNamedFile(descriptor, kDescriptorSizeLimit);
  // Parse errors carry the launcher's own sentence unchanged.
  UpdateDescriptorRecord record = ParseUpdateDescriptor(bytes);
  const ByteBuffer signature = key->Sign(bytes);
  key.reset();  // the private key is not kept a moment longer than signing takes
  ReplaceFileAtomically(out, signature, 0644);
  return record;
}

}  // namespace qvs
