#include "tools/qvs-release/site/verify_site.h"

#include "common/launcher_failure.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/site/site_journal.h"
#include "tools/qvs-release/site/site_key.h"
#include "tools/qvs-release/site/site_lock.h"

namespace qvs {
namespace {

ByteBuffer SiteKeyFor(const std::filesystem::path& site, const std::filesystem::path& public_key) {
  const std::optional<ByteBuffer> site_key = ReadSiteKey(site);
  if (public_key.empty()) {
    if (!site_key) {
      throw ToolError(site.string() + " has no " + kSiteKeyFileName + ": give --public-key");
    }
    return *site_key;
  }
  ByteBuffer given = ReadPublicKeyBlob(public_key);
  if (site_key && *site_key != given) {
    throw ToolError("--public-key " + public_key.string() + " (fingerprint " + KeyFingerprint(given) +
                    ") is not the key this site is published for (fingerprint " + KeyFingerprint(*site_key) + ")");
  }
  return given;
}

// Only folders and regular files may be served: a link would serve whatever it points to (a key,
// a passphrase), and a pipe or device is no release file at all.
void RequireOnlyRegularFiles(const std::filesystem::path& served) {
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator entry(served, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::filesystem::file_type type = entry->symlink_status().type();
    if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::directory) {
      throw ToolError(entry->path().string() + ": is not a regular file (" +
                      (type == std::filesystem::file_type::symlink ? "a symbolic link" : "not a file") +
                      "); only release files may be served");
    }
  }
}

}  // namespace

VerificationResult VerifySite(const std::filesystem::path& site, const std::filesystem::path& public_key,
                              std::chrono::milliseconds lock_wait, const std::function<void()>& waiting) {
  const ScopedPkey key = PublicKeyFromBlob(SiteKeyFor(site, public_key));
  const SiteLock lock(site, LockMode::kShared, lock_wait, waiting);
  if (const std::string unfinished = DescribeInterruptedPublish(site); !unfinished.empty()) {
    throw ToolError(site.string() + ": " + unfinished);
  }
  RequireOnlyRegularFiles(site / "downloads");
  const std::filesystem::path client = site / kClientFolder;
  const UpdateDescriptorRecord record =
      VerifySignedDescriptor(key.get(), ReadNamedFile(client / "stable.manifest", kDescriptorSizeLimit),
                             ReadNamedFile(client / "stable.manifest.sig", kSignatureSizeLimit));
  // The descriptor's path is absolute on the service, whose root is the site.
  const std::filesystem::path package = site / std::filesystem::path(record.path).relative_path();
  VerificationResult result = ComparePackage(record, ReadNamedFile(package, kPackageSizeLimit));
  result.report = site.string() + ": " + result.report;
  return result;
}

}  // namespace qvs
