#include "tools/qvs-release/site/verify_site.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/launcher_failure.h"
#include "common/site_layout.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/log/site_log.h"
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

// The site's own files, which a site served inside another's served tree would expose.
bool IsSiteFileName(const std::string& name) {
  for (const char* own : {kSiteKeyFileName, kSiteRecoveryKeyFileName, kSiteLogKeyFileName, kSiteLogRecoveryKeyFileName,
                          kKeySwitchesFileName, kSiteLockFileName, kStagingFolderName, kPendingFolderName}) {
    if (name == own) {
      return true;
    }
  }
  return false;
}

// Whether the web server, another user, can read a served entry and pass through a folder; for
// the site's root, which is not served, passing through is enough.
void RequireReadableByOthers(const std::filesystem::path& path, bool folder, bool only_pass_through = false) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    RaiseFileError("cannot examine", path, errno);
  }
  const mode_t needed = only_pass_through ? S_IXOTH : folder ? (S_IROTH | S_IXOTH) : S_IROTH;
  if ((status.st_mode & needed) != needed) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw ToolError(path.string() + ": other users cannot " +
                    (only_pass_through ? "pass through it"
                     : folder          ? "read or pass through it"
                                       : "read it") +
                    " (mode " + mode + "), so the web server cannot serve it; publish makes folders 0755 and " +
                    "files 0644");
  }
}

// Only folders and regular files may be served, each readable by the web server: a link would serve
// whatever it points to (a key, a passphrase), a pipe or device is no release file at all, and a
// site's own files are never served.
void RequireOnlyServableFiles(const std::filesystem::path& site) {
  const std::filesystem::path served = site / kServedFolder;
  RequireReadableByOthers(site, true, true);
  RequireReadableByOthers(served, true);
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator entry(served, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::filesystem::file_type type = entry->symlink_status().type();
    if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::directory) {
      throw ToolError(entry->path().string() + ": is not a regular file (" +
                      (type == std::filesystem::file_type::symlink ? "a symbolic link" : "not a file") +
                      "); only release files may be served");
    }
    if (IsSiteFileName(entry->path().filename().string())) {
      throw ToolError(entry->path().string() + ": a site's own file is served (a site inside the served tree?); " +
                      "only release files may be served");
    }
    RequireReadableByOthers(entry->path(), type == std::filesystem::file_type::directory);
  }
}

// The keys the site is published for, with their recovery keys, and every switch it recorded.
void ReadKeys(const std::filesystem::path& site, ByteView key, const LogKeySet& log_keys, SiteVerification& found) {
  found.update_key = KeyFingerprint(key);
  if (const std::optional<ByteBuffer> recovery = ReadSiteRecoveryKey(site)) {
    found.recovery_key = KeyFingerprint(*recovery);
  }
  const auto launchers =
      std::find_if(log_keys.begin(), log_keys.end(), [](const LogVerifier& k) { return k.launchers_check(); });
  if (launchers != log_keys.end()) {
    found.launchers_log_key = launchers->name + "+" + launchers->KeyIdText();
    if (const std::optional<LogVerifier> log_recovery = ReadSiteLogRecoveryKey(site)) {
      found.log_recovery_key = log_recovery->name + "+" + log_recovery->KeyIdText();
    }
  }
  found.switches = ReadKeySwitches(site);
}

std::string DescribeKeys(const SiteVerification& found) {
  const auto recorded = [](const std::string& key) { return key.empty() ? std::string("none recorded") : key; };
  std::string text = "\n  update key " + found.update_key + ", recovery key " + recorded(found.recovery_key);
  if (!found.launchers_log_key.empty()) {
    text += "\n  launchers' log key " + found.launchers_log_key + ", recovery key " + recorded(found.log_recovery_key);
  }
  for (const std::string& line : found.switches) {
    text += "\n  switched: " + line;
  }
  return text;
}

}  // namespace

SiteVerification VerifySite(const std::filesystem::path& site, const std::filesystem::path& public_key,
                            std::chrono::milliseconds lock_wait, const std::function<void()>& waiting) {
  std::error_code error;
  if (!std::filesystem::is_directory(site, error)) {
    throw ToolError(site.string() + ": " +
                    (std::filesystem::exists(site, error) ? "is not a folder" : "no such folder"));
  }
  SiteVerification found;
  const ByteBuffer key_blob = SiteKeyFor(site, public_key);
  const ScopedPkey key = PublicKeyFromBlob(key_blob);
  const SiteLock lock(site, LockMode::kShared, lock_wait, waiting);
  if (const std::string unfinished = DescribeInterruptedPublish(site); !unfinished.empty()) {
    throw ToolError(site.string() + ": " + unfinished);
  }
  RequireOnlyServableFiles(site);
  const std::filesystem::path client = site / kClientFolder;
  const ByteBuffer descriptor = ReadNamedFile(client / kDescriptorName, kDescriptorSizeLimit);
  const ByteBuffer signature = ReadNamedFile(client / kDescriptorSignatureName, kSignatureSizeLimit);
  const UpdateDescriptorRecord record = VerifySignedDescriptor(key.get(), descriptor, signature);
  found.record = record;
  // A site that keeps a log serves every tile of it, and its release is the log's last entry.
  std::string logged;
  const LogKeySet log_keys = ReadSiteLogKeys(site);
  if (!log_keys.empty()) {
    const SiteLog log = ReadSiteLog(site, log_keys, true);
    const ByteBuffer entry = LogEntry(descriptor, signature);
    if (log.entries.empty() || log.entries.back() != entry) {
      throw ToolError((client / kDescriptorName).string() + " and its signature are not the last entry of the log (" +
                      std::to_string(log.checkpoint.size) + " entries, " + (site / kLogFolder).string() + ")");
    }
    // The served pair's proof, as launchers fetch it.
    const std::filesystem::path proof = site / kLogFolder / ProofPath(entry);
    VerifyEntryProof(ReadNamedFile(proof, kProofSizeLimit), entry, log_keys, proof.string());
    found.log_entry = log.checkpoint.size - 1;
    found.log_origin = log_keys.front().name;
    logged = "; logged as entry " + std::to_string(log.checkpoint.size - 1) + " of " + log_keys.front().name +
             (log_keys.size() > 1 ? ", with the proof launchers check" : ", with its proof");
  }
  // The descriptor's path is absolute on the service, whose root is the site.
  const std::filesystem::path package = site / std::filesystem::path(record.path).relative_path();
  VerificationResult result = ComparePackage(record, ReadNamedFile(package, kPackageSizeLimit));
  if (result.exit_code == kPackageMatches && !logged.empty() && result.report.ends_with('.')) {
    result.report.insert(result.report.size() - 1, logged);
  }
  found.exit_code = result.exit_code;
  found.report = site.string() + ": " + result.report;
  ReadKeys(site, key_blob, log_keys, found);
  if (result.exit_code == kPackageMatches) {
    found.report += DescribeKeys(found);
  }
  return found;
}

}  // namespace qvs
