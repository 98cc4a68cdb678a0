#include "tools/qvs-release/check/service_check.h"

#include <algorithm>
#include <iterator>

#include "common/launcher_failure.h"
#include "common/site_layout.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/check/cache_advice.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/keys/verify.h"
#include "tools/qvs-release/log/site_log.h"

namespace qvs {
namespace {

std::string ReleaseSummary(const UpdateDescriptorRecord& record) {
  return "version " + record.version + " (" + record.path + ", " + std::to_string(record.size) + " bytes, SHA-256 " +
         record.sha256 + ")";
}

bool SameBytes(ByteView left, ByteView right) {
  return std::equal(left.begin(), left.end(), right.begin(), right.end());
}

// For a pair that does not verify: which half is the local tree's, the usual sign of a cache that
// holds the two files from different releases.
std::string PairHint(const ServedResource& descriptor, const ServedResource& signature,
                     const ExpectedRelease* expected) {
  if (expected == nullptr) {
    return "";
  }
  const bool descriptor_local = SameBytes(descriptor.body, expected->descriptor);
  const bool signature_local = SameBytes(signature.body, expected->signature);
  if (descriptor_local == signature_local) {
    return descriptor_local ? "" : " Neither file is the one in " + expected->site.string() + ".";
  }
  return std::string(" The served ") + (descriptor_local ? "manifest" : "signature") + " is the one in " +
         expected->site.string() + ", the served " + (descriptor_local ? "signature" : "manifest") +
         " is not: the service holds the two from different releases.";
}

// Which served file differs from the tree, or empty.
std::string DifferenceFromTree(const ServedResource& descriptor, const ServedResource& signature,
                               const ServedResource& package, const ExpectedRelease& expected) {
  if (!SameBytes(descriptor.body, expected.descriptor)) {
    return kDescriptorName;
  }
  if (!SameBytes(signature.body, expected.signature)) {
    return kDescriptorSignatureName;
  }
  if (!SameBytes(package.body, expected.package)) {
    return package.path;
  }
  return "";
}

}  // namespace

namespace {

// The keys a refused signature was checked with, by fingerprint, and the key the local site is
// published for when it is another: which key is the wrong one is then plain.
std::string KeysHint(EVP_PKEY* key, EVP_PKEY* recovery_key, const std::filesystem::path* site) {
  const std::string given = KeyFingerprint(PublicKeyBlob(key));
  std::string hint = " (checked with --public-key, fingerprint " + given;
  if (recovery_key != nullptr) {
    hint += ", and --recovery-public-key, fingerprint " + KeyFingerprint(PublicKeyBlob(recovery_key));
  }
  if (site != nullptr) {
    if (const std::filesystem::path key_file = *site / kSiteKeyFileName; Exists(key_file)) {
      if (const std::string published = KeyFingerprint(ReadPublicKeyBlob(key_file)); published != given) {
        hint += "; " + site->string() + " is published for the key " + published;
      }
    }
  }
  return hint + ")";
}

}  // namespace

ExpectedRelease ReadExpectedRelease(EVP_PKEY* key, const std::filesystem::path& site) {
  ExpectedRelease expected;
  expected.site = site;
  const std::filesystem::path client = site / kClientFolder;
  expected.descriptor = ReadNamedFile(client / kDescriptorName, kDescriptorSizeLimit);
  expected.signature = ReadNamedFile(client / kDescriptorSignatureName, kSignatureSizeLimit);
  try {
    expected.record = VerifySignedDescriptor(key, expected.descriptor, expected.signature);
  } catch (const LauncherFailure& failure) {
    throw ToolError((client / kDescriptorName).string() + ": " + failure.what() + KeysHint(key, nullptr, &site));
  }
  const std::filesystem::path package = site / std::filesystem::path(expected.record.path).relative_path();
  expected.package = ReadNamedFile(package, kPackageSizeLimit);
  const VerificationResult match = ComparePackage(expected.record, expected.package);
  if (match.exit_code != kPackageMatches) {
    throw ToolError(package.string() + ": " + match.report);
  }
  return expected;
}

std::string DescribeResource(const ServedResource& resource) {
  std::string line = resource.path + ": ";
  if (resource.status == 0) {
    return line + "no response (" + resource.detail + ")";
  }
  line += std::to_string(resource.status);
  line +=
      resource.failure.empty() ? ", " + std::to_string(resource.body.size()) + " bytes" : " (" + resource.failure + ")";
  for (const char* name : {"Cache-Control", "Content-Type", "Content-Encoding", "Age"}) {
    const std::string* value = resource.Header(name);
    line += std::string("; ") + name + ": " + (value ? *value : "-");
  }
  if (const std::string* location = resource.Header("Location")) {
    line += "; Location: " + *location;
  }
  return line;
}

ServiceReport CheckService(EVP_PKEY* key, EVP_PKEY* recovery_key, const ServiceAddress& service,
                           const ExpectedRelease* expected, const LogWatch* log) {
  ServiceReport report;
  const auto fetch = [&](const std::string& path, std::uint64_t limit) {
    ServedResource resource = FetchAsLauncher(service, path, limit);
    report.resources.push_back(DescribeResource(resource));
    for (std::string& warning : DeliveryWarnings(resource)) {
      report.warnings.push_back(std::move(warning));
    }
    return resource;
  };

  // Both halves of the pair are fetched before either is judged, so that both lines show.
  const ServedResource descriptor = fetch(kDescriptorResourcePath, kDescriptorSizeLimit);
  const ServedResource signature = fetch(kSignatureResourcePath, kSignatureSizeLimit);
  if (descriptor.failure.empty() && signature.failure.empty()) {
    for (std::string& warning : PairCacheWarnings(descriptor, signature)) {
      report.warnings.push_back(std::move(warning));
    }
  }
  for (const ServedResource* resource : {&descriptor, &signature}) {
    if (!resource->failure.empty()) {
      report.verdict = FetchFailure(*resource);
      return report;
    }
  }

  UpdateDescriptorRecord record;
  bool by_recovery_key = false;
  try {
    SignedRecord signed_record = VerifySignedByEither(key, recovery_key, descriptor.body, signature.body);
    record = std::move(signed_record.record);
    by_recovery_key = signed_record.by_recovery_key;
  } catch (const LauncherFailure& failure) {
    report.verdict = std::string(failure.what()) + PairHint(descriptor, signature, expected) +
                     KeysHint(key, recovery_key, expected ? &expected->site : nullptr);
    return report;
  }

  const ServedResource package = fetch(record.path, kPackageSizeLimit);
  if (!package.failure.empty()) {
    report.verdict = FetchFailure(package);
    return report;
  }
  if (std::optional<std::string> warning = ImmutableCacheWarning(package, "a published package")) {
    report.warnings.push_back(std::move(*warning));
  }
  const VerificationResult match = ComparePackage(record, package.body);
  if (match.exit_code != kPackageMatches) {
    report.exit_code = match.exit_code;
    report.verdict = package.path + ": " + match.report;
    return report;
  }

  report.verdict = "The service serves " + ReleaseSummary(record) + ": launchers accept it" +
                   (by_recovery_key ? " (signed by the recovery key)" : "");
  if (expected != nullptr) {
    const std::string difference = DifferenceFromTree(descriptor, signature, package, *expected);
    if (!difference.empty()) {
      report.verdict += ", but it is not the release in " + expected->site.string() + " (version " +
                        expected->record.version + "): the served " + difference + " differs.";
      return report;
    }
    report.verdict += ", and it is the release in " + expected->site.string();
  }
  if (log != nullptr) {
    LogFinding finding = CheckLogged(fetch, *log, LogEntry(descriptor.body, signature.body));
    std::ranges::move(finding.warnings, std::back_inserter(report.warnings));
    if (!finding.failure.empty()) {
      report.verdict = finding.failure;
      return report;
    }
    report.verdict += ", " + finding.summary;
    RecordLogState(*log, finding.checkpoint_note);
  }
  report.verdict += ".";
  report.exit_code = kPackageMatches;
  return report;
}

}  // namespace qvs
