#include "tools/qvs-release/site/site_key.h"

#include <ctime>
#include <system_error>

#include "common/launcher_failure.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"

namespace qvs {
namespace {

// A record of switches: a line each, made only on the rare day a key is lost.
constexpr std::uint64_t kKeySwitchesFileLimit = 64 * 1024;

}  // namespace

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

std::optional<ByteBuffer> ReadSiteRecoveryKey(const std::filesystem::path& site) {
  const std::filesystem::path path = site / kSiteRecoveryKeyFileName;
  if (!Exists(path)) {
    return std::nullopt;
  }
  return ReadPublicKeyBlob(path);
}

namespace {

// A recovery key is a second key, kept offline: never the key it backs.
void RequireSecondKey(const SiteKeyRequest& request, const ByteBuffer& published) {
  if (*request.recovery == published) {
    throw ToolError(request.recovery_source + " (fingerprint " + KeyFingerprint(*request.recovery) +
                    ") is the site's key itself; a recovery key is a second key, kept offline");
  }
}

// The key of a site that has no key file yet: `given`, or the signing key's own half. A site
// published before it had a key file is taken over only by the key that signed its descriptor.
ByteBuffer FirstSiteKey(const std::filesystem::path& site, const SiteKeyPlan& plan, const SigningKey& key,
                        const SiteKeyRequest& request) {
  if (request.given) {
    return *request.given;
  }
  const ByteBuffer& own = key.public_blob();
  if (plan.unclaimed_release) {
    bool signed_with_key = false;
    try {
      const auto& [descriptor, signature] = *plan.unclaimed_release;
      signed_with_key = SignatureMatches(key.public_key(), descriptor, signature);
    } catch (const ToolError&) {
      // An unreadable pair was signed by nobody this publish can tell.
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

// The switch to the recovery key: the signing key must be the one the site records, and is not the
// site's key already.
void RequireRecoveryKey(const std::filesystem::path& site, const SigningKey& key, const ByteBuffer& site_key,
                        const std::optional<ByteBuffer>& recorded) {
  const ByteBuffer& own = key.public_blob();
  if (own == site_key) {
    throw ToolError("--switch-to-recovery-key: the private key " + key.name() + " (fingerprint " + KeyFingerprint(own) +
                    ") is the site's key already; the switch is signed with the recovery key");
  }
  if (recorded) {
    RequireMatchingKey(key, *recorded,
                       "the recovery key " + KeyFingerprint(*recorded) + " that " + site.string() + " records in " +
                           kSiteRecoveryKeyFileName);
  }
}

}  // namespace

SiteKeyPlan PlanSiteKeys(const std::filesystem::path& site, const SiteKeyRequest& request) {
  SiteKeyPlan plan;
  plan.site_key = ReadSiteKey(site);
  plan.recorded = ReadSiteRecoveryKey(site);
  const std::filesystem::path key_file = site / kSiteKeyFileName;
  if (request.switch_to_recovery) {
    if (!plan.site_key) {
      throw ToolError("--switch-to-recovery-key moves a site from its key to its recovery key, and " + site.string() +
                      " has no " + kSiteKeyFileName + " yet: publish without it");
    }
    plan.writes_site_key = true;
    if (plan.recorded) {
      plan.recovery_key = ByteBuffer();  // its key is the site's key now
    }
  } else if (plan.site_key) {
    if (request.given && *request.given != *plan.site_key) {
      throw ToolError(request.given_source + " (fingerprint " + KeyFingerprint(*request.given) +
                      ") is not the key this site is published for (fingerprint " + KeyFingerprint(*plan.site_key) +
                      ", in " + key_file.string() + "); to move the site to another key, remove that file first");
    }
  } else {
    plan.writes_site_key = true;
    const std::filesystem::path client = site / kClientFolder;
    if (Exists(client / kDescriptorName)) {
      const auto read = [](const std::filesystem::path& path, std::uint64_t limit) {
        try {
          return ReadNamedFile(path, limit);
        } catch (const ToolError&) {
          return ByteBuffer();
        }
      };
      plan.unclaimed_release.emplace(read(client / kDescriptorName, kDescriptorSizeLimit),
                                     read(client / kDescriptorSignatureName, kSignatureSizeLimit));
    }
  }
  if (request.recovery) {
    // The key it backs, where known before the signing key is opened.
    if (!request.switch_to_recovery && (plan.site_key || request.given)) {
      RequireSecondKey(request, plan.site_key ? *plan.site_key : *request.given);
    }
    const std::string shown = request.recovery_source + " (fingerprint " + KeyFingerprint(*request.recovery) + ")";
    if (request.switch_to_recovery && *request.recovery == *plan.site_key) {
      throw ToolError(shown + " is the key this switch replaces; give a new recovery key");
    }
    if (!request.switch_to_recovery && plan.recorded && *plan.recorded != *request.recovery) {
      throw ToolError(shown + " is not the recovery key " + site.string() + " records (fingerprint " +
                      KeyFingerprint(*plan.recorded) + ", in " + (site / kSiteRecoveryKeyFileName).string() +
                      "); to record another one, remove that file first");
    }
    if (request.switch_to_recovery || !plan.recorded) {
      plan.recovery_key = *request.recovery;
    }
  }
  return plan;
}

SiteKeyDecision BindSiteKeys(const std::filesystem::path& site, const SiteKeyPlan& plan, const SigningKey& key,
                             const SiteKeyRequest& request, const std::string& version) {
  if (request.given) {
    RequireMatchingKey(key, *request.given, request.given_source);
  }
  const std::filesystem::path key_file = site / kSiteKeyFileName;
  const ByteBuffer& own = key.public_blob();
  SiteKeyDecision decision;
  if (request.switch_to_recovery) {
    RequireRecoveryKey(site, key, *plan.site_key, plan.recorded);
    decision.site_key = own;
    decision.switch_line = "update key " + KeyFingerprint(*plan.site_key) + " replaced by its recovery key " +
                           KeyFingerprint(own) + ", from version " + version;
  } else if (plan.site_key) {
    if (plan.recorded && own == *plan.recorded) {
      throw ToolError("the private key " + key.name() + " (fingerprint " + KeyFingerprint(own) +
                      ") does not match the site's key file " + key_file.string() + " (fingerprint " +
                      KeyFingerprint(*plan.site_key) + "): it is the site's recovery key (" +
                      (site / kSiteRecoveryKeyFileName).string() +
                      "). Only when the site's private key is lost, publish with --switch-to-recovery-key: the "
                      "recovery key then becomes the site's key");
    }
    RequireMatchingKey(key, *plan.site_key, "the site's key file " + key_file.string());
  } else {
    decision.site_key = FirstSiteKey(site, plan, key, request);
  }
  // The key a recovery key backs is the signing key's own half only now known.
  if (request.recovery && (request.switch_to_recovery || (!plan.site_key && !request.given))) {
    RequireSecondKey(request, own);
  }
  return decision;
}

std::string KeySwitchLine(const std::string& what) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(stamp) + " " + what;
}

std::vector<std::string> ReadKeySwitches(const std::filesystem::path& site) {
  std::vector<std::string> lines;
  const std::filesystem::path path = site / kKeySwitchesFileName;
  if (!Exists(path)) {
    return lines;
  }
  const ByteBuffer bytes = ReadNamedFile(path, kKeySwitchesFileLimit);
  std::string line;
  for (const std::uint8_t byte : bytes) {
    if (byte == '\n') {
      lines.push_back(std::move(line));
      line.clear();
    } else {
      line.push_back(static_cast<char>(byte));
    }
  }
  if (!line.empty()) {
    lines.push_back(std::move(line));
  }
  return lines;
}

ByteBuffer KeySwitchesWith(const std::vector<std::string>& recorded, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::vector<std::string>* part : {&recorded, &lines}) {
    for (const std::string& line : *part) {
      text += line + "\n";
    }
  }
  return ByteBuffer(text.begin(), text.end());
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
