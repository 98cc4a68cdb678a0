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

// The key of a site that has no key file yet: `given`, or the signing key's own half. A site
// published before it had a key file is taken over only by the key that signed its descriptor.
ByteBuffer FirstSiteKey(const std::filesystem::path& site, const SigningKey& key, const SiteKeyRequest& request) {
  if (request.given) {
    return *request.given;
  }
  const ByteBuffer& own = key.public_blob();
  const std::filesystem::path client = site / kClientFolder;
  if (Exists(client / kManifestName)) {
    bool signed_with_key = false;
    try {
      signed_with_key = SignatureMatches(key.public_key(), ReadNamedFile(client / kManifestName, kDescriptorSizeLimit),
                                         ReadNamedFile(client / kManifestSignatureName, kSignatureSizeLimit));
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

SiteKeyDecision DecideSiteKey(const std::filesystem::path& site, const SigningKey& key, const SiteKeyRequest& request,
                              const std::string& version) {
  if (request.given) {
    RequireMatchingKey(key, *request.given, request.given_source);
  }
  const std::filesystem::path key_file = site / kSiteKeyFileName;
  const std::filesystem::path recovery_file = site / kSiteRecoveryKeyFileName;
  const std::optional<ByteBuffer> site_key = ReadSiteKey(site);
  const std::optional<ByteBuffer> recorded = ReadSiteRecoveryKey(site);
  const ByteBuffer& own = key.public_blob();
  SiteKeyDecision decision;
  if (request.switch_to_recovery) {
    if (!site_key) {
      throw ToolError("--switch-to-recovery-key moves a site from its key to its recovery key, and " + site.string() +
                      " has no " + kSiteKeyFileName + " yet: publish without it");
    }
    RequireRecoveryKey(site, key, *site_key, recorded);
    decision.site_key = own;
    decision.switch_line = "update key " + KeyFingerprint(*site_key) + " replaced by its recovery key " +
                           KeyFingerprint(own) + ", from version " + version;
    if (recorded) {
      decision.recovery_key = ByteBuffer();
    }
  } else if (site_key) {
    if (request.given && *request.given != *site_key) {
      throw ToolError(request.given_source + " (fingerprint " + KeyFingerprint(*request.given) +
                      ") is not the key this site is published for (fingerprint " + KeyFingerprint(*site_key) +
                      ", in " + key_file.string() + "); to move the site to another key, remove that file first");
    }
    if (recorded && own == *recorded) {
      throw ToolError("the private key " + key.name() + " (fingerprint " + KeyFingerprint(own) +
                      ") does not match the site's key file " + key_file.string() + " (fingerprint " +
                      KeyFingerprint(*site_key) + "): it is the site's recovery key (" + recovery_file.string() +
                      "). Only when the site's private key is lost, publish with --switch-to-recovery-key: the "
                      "recovery key then becomes the site's key");
    }
    RequireMatchingKey(key, *site_key, "the site's key file " + key_file.string());
  } else {
    decision.site_key = FirstSiteKey(site, key, request);
  }
  if (request.recovery) {
    const ByteBuffer& published = decision.site_key ? *decision.site_key : *site_key;
    const std::string shown = request.recovery_source + " (fingerprint " + KeyFingerprint(*request.recovery) + ")";
    if (*request.recovery == published) {
      throw ToolError(shown + " is the site's key itself; a recovery key is a second key, kept offline");
    }
    if (request.switch_to_recovery && *request.recovery == *site_key) {
      throw ToolError(shown + " is the key this switch replaces; give a new recovery key");
    }
    if (!request.switch_to_recovery && recorded && *recorded != *request.recovery) {
      throw ToolError(shown + " is not the recovery key " + site.string() + " records (fingerprint " +
                      KeyFingerprint(*recorded) + ", in " + recovery_file.string() +
                      "); to record another one, remove that file first");
    }
    if (request.switch_to_recovery || !recorded) {
      decision.recovery_key = *request.recovery;
    }
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

ByteBuffer KeySwitchesWith(const std::filesystem::path& site, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::vector<std::string>& part : {ReadKeySwitches(site), lines}) {
    for (const std::string& line : part) {
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
