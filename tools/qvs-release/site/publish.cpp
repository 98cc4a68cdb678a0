#include "tools/qvs-release/site/publish.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "common/launcher_failure.h"
#include "common/site_layout.h"
#include "tools/qvs-release/base/input_file.h"
#include "tools/qvs-release/base/interruption.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_factory.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/site_key.h"
#include "tools/qvs-release/site/site_lock.h"

namespace qvs {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void CheckVersion(const std::string& version, bool allow_odd) {
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
  // ".1" and "-1" are versions to launchers, and went live as typos: the log would keep them for good.
  if (!allow_odd && (!IsDigit(version.front()) || !IsDigit(version.back()))) {
    throw ToolError("version \"" + version + "\": does not begin and end with a digit, so it looks mistyped; " +
                    "launchers would install it at once, and the release log would keep it for good. If it is " +
                    "meant, give --allow-odd-version");
  }
}

// Characters that every web server and CDN maps to the same file name, unescaped.
bool IsPlainNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

std::string CheckedPackagePath(const std::string& name) {
  if (name.empty() || !std::all_of(name.begin(), name.end(), IsPlainNameCharacter)) {
    throw ToolError("package name \"" + name + "\": use only letters, digits, \".\", \"-\" and \"_\"");
  }
  // Web servers hide or interpret names that begin with a dot (.htaccess, .well-known, "." itself).
  if (name.front() == '.') {
    throw ToolError("package name \"" + name + "\": must not begin with \".\"; web servers treat such names " +
                    "specially and may refuse or interpret them");
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
    same = ReadNamedFile(target, kPackageSizeLimit) == bytes;
  }
  if (!same) {
    throw ToolError(target.string() +
                    ": already holds a different package. Published packages never change, because caches "
                    "and CDNs may keep them for ever: publish these bytes under a new --version (and, when you "
                    "name the package, a new --name)");
  }
  return true;
}

// The release files a publish is about to write, checked against what the site serves: only
// regular files stand where they go, and a package already published holds the same bytes.
// Returns whether the package is there. (Whether every file can be moved into place is checked
// once they are staged, before the change is decided.)
bool CheckServedTree(const PublishedRelease& release, const ByteBuffer& package) {
  RegularFileExists(release.descriptor_file);
  RegularFileExists(release.signature_file);
  return SamePackageAlreadyPublished(release.package_file, package);
}

// The numbers in a version, left to right ("1.10-2": 1, 10, 2), without leading zeros.
std::vector<std::string> VersionNumbers(const std::string& version) {
  std::vector<std::string> numbers;
  for (std::size_t at = 0; at < version.size();) {
    if (!IsDigit(version[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < version.size() && IsDigit(version[end])) {
      ++end;
    }
    std::string number = version.substr(at, end - at);
    number.erase(0, std::min(number.find_first_not_of('0'), number.size() - 1));
    numbers.push_back(std::move(number));
    at = end;
  }
  return numbers;
}

}  // namespace

bool IsLowerVersion(const std::string& version, const std::string& served) {
  const auto by_value = [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  };
  const std::vector<std::string> mine = VersionNumbers(version);
  const std::vector<std::string> theirs = VersionNumbers(served);
  return std::lexicographical_compare(mine.begin(), mine.end(), theirs.begin(), theirs.end(), by_value);
}

namespace {

// A published version never changes, whatever its package is named, and a lower one than the
// served release rolls every launcher back: both are refused unless that is asked for. `published`
// are the releases the site has served that it knows of (the log's, or the served one).
void RequireVersionInOrder(const PublishRequest& request, const UpdateDescriptorRecord& record,
                           const std::vector<UpdateDescriptorRecord>& published) {
  for (const UpdateDescriptorRecord& earlier : published) {
    if (earlier.version == record.version && earlier.sha256 != record.sha256) {
      throw ToolError("version " + record.version + " was published already with other bytes (" + earlier.path +
                      ", SHA-256 " + earlier.sha256 +
                      "). A published version never changes, under any package name: publish these bytes under a " +
                      "new --version");
    }
  }
  if (!published.empty() && !request.allow_downgrade && IsLowerVersion(record.version, published.back().version)) {
    throw ToolError("version " + record.version + " is lower than version " + published.back().version +
                    ", which the site serves: every launcher would go back to it. If that is meant (a bad release " +
                    "withdrawn), give --allow-downgrade");
  }
}

// The releases the site has published that it knows of, oldest first: the log's entries, or the
// served descriptor alone.
std::vector<UpdateDescriptorRecord> PublishedReleases(const PublishedRelease& release,
                                                      const std::optional<SiteLog>& log) {
  std::vector<UpdateDescriptorRecord> published;
  if (log && !log->entries.empty()) {
    for (const ByteBuffer& entry : log->entries) {
      if (entry.size() < kSignatureSize) {
        continue;
      }
      try {
        published.push_back(ParseUpdateDescriptor(ByteView(entry.data(), entry.size() - kSignatureSize)));
      } catch (const LauncherFailure&) {
      }
    }
    return published;
  }
  if (RegularFileExists(release.descriptor_file)) {
    try {
      published.push_back(ParseUpdateDescriptor(ReadNamedFile(release.descriptor_file, kDescriptorSizeLimit)));
    } catch (const std::exception&) {
      // A served descriptor that is no descriptor is replaced; it names no version to keep.
    }
  }
  return published;
}

// The release the request describes, checked as the launcher will read it, and its package.
struct DescribedRelease {
  PublishedRelease release;
  ByteBuffer package;
};

DescribedRelease DescribeRelease(const PublishRequest& request, const std::string& name) {
  CheckVersion(request.version, request.allow_odd_version);
  PublishedRelease release;
  release.record.version = request.version;
  release.record.path = CheckedPackagePath(name);
  InputFile file(request.package, "package");
  // The size before anything is read, so an oversized package is reported as such and never read.
  try {
    ValidatePackageSize(file.size());
  } catch (const LauncherFailure& failure) {
    file.Refuse(std::string(failure.what()) + " (" + std::to_string(file.size()) + " bytes; a package holds 1 to " +
                std::to_string(kPackageSizeLimit) + ")");
  }
  ByteBuffer package = file.ReadAll();
  release.record.size = package.size();
  release.record.sha256 = ToDigestText(Sha256Of(package));
  const std::filesystem::path client = request.site / kClientFolder;
  release.package_file = client / kPackagesFolderName / name;
  release.descriptor_file = client / kManifestName;
  release.signature_file = client / kManifestSignatureName;
  return {std::move(release), std::move(package)};
}

// The site's log and its key files as this publish leaves them.
struct LogPlan {
  std::optional<SiteLog> log;          // none: the site keeps no log
  std::optional<ByteBuffer> key_set;   // the key set to write, when new or changed
  std::optional<ByteBuffer> recovery;  // the recovery key file to write; empty: it goes
  std::string key_written;             // the log's first verifier key, for a new log
  std::string launcher_key_added;      // the key launchers check, when this publish adds it
  std::string recovery_written;        // the recovery key recorded
  std::string switch_line;             // the switch to the recovery key, when made
};

std::string Shown(const LogVerifier& key) { return key.name + "+" + key.KeyIdText(); }

// The key launchers check as it will stand: the site's, the first one given, or, on the switch,
// its recovery key.
struct LauncherKeyDecision {
  LogKeySet keys;              // the log's key set as it will stand
  std::string added;           // the key launchers check, when this publish adds it
  std::string switch_line;     // the switch to the recovery key, when made
  bool recovery_used = false;  // the switch used the recovery key the site records: its file goes
};

LauncherKeyDecision DecideLauncherLogKey(const PublishRequest& request, LogKeySet keys, const SigningKey* launcher_key,
                                         const std::optional<LogVerifier>& recorded) {
  LauncherKeyDecision decision;
  const auto launchers =
      std::find_if(keys.begin(), keys.end(), [](const LogVerifier& k) { return k.launchers_check(); });
  const std::string key_set_file = std::string(kSiteLogKeyFileName);
  if (launcher_key == nullptr) {
    decision.keys = std::move(keys);
    return decision;  // RequireLogKeysGiven refused a log that launchers check
  }
  const LogVerifier given = VerifierOf(keys.front().name, launcher_key->public_key());
  const std::string shown = "--launcher-log-key " + request.launcher_log_key + " (" + Shown(given) + ")";
  if (launchers == keys.end()) {
    if (request.switch_to_log_recovery_key) {
      throw ToolError(
          "--switch-to-log-recovery-key moves a log from the key launchers check to its recovery key, "
          "and the log of " +
          request.site.string() + " has none yet (" + key_set_file + "): publish without it");
    }
    keys.push_back(given);
    decision.added = given.Text();
    decision.keys = std::move(keys);
    return decision;
  }
  if (*launchers == given) {
    if (request.switch_to_log_recovery_key) {
      throw ToolError("--switch-to-log-recovery-key: " + shown +
                      " is the key launchers check already; the switch is signed with its recovery key");
    }
    decision.keys = std::move(keys);
    return decision;
  }
  if (!request.switch_to_log_recovery_key) {
    const bool is_recovery = recorded && *recorded == given;
    throw ToolError(shown + " is not the key launchers check in the log of " + request.site.string() + " (" +
                    Shown(*launchers) + ", in " + key_set_file + ")" +
                    (is_recovery ? ": it is that key's recovery key (" + std::string(kSiteLogRecoveryKeyFileName) +
                                       "). Only when the launchers' log key is lost, publish with "
                                       "--switch-to-log-recovery-key: the recovery key then becomes the key "
                                       "launchers check"
                                 : std::string()));
  }
  if (recorded && *recorded != given) {
    throw ToolError(shown + " is not the recovery key " + request.site.string() + " records for its log (" +
                    Shown(*recorded) + ", in " + kSiteLogRecoveryKeyFileName + ")");
  }
  decision.switch_line = "launchers' log key " + Shown(*launchers) + " replaced by its recovery key " + Shown(given);
  *launchers = given;
  decision.recovery_used = recorded.has_value();
  decision.keys = std::move(keys);
  return decision;
}

// The recovery key given for the key launchers check, to record when the site has none yet or the
// switch has just used it; nothing to record otherwise.
std::optional<LogVerifier> DecideLogRecoveryKey(const PublishRequest& request, const LogKeySet& keys,
                                                const LogKeySet& site_keys,
                                                const std::optional<LogVerifier>& recorded) {
  if (request.log_recovery_public_key.empty()) {
    return std::nullopt;
  }
  const std::string source = "--log-recovery-public-key " + request.log_recovery_public_key.string();
  const LogVerifier given = ReadLogRecoveryKey(request.log_recovery_public_key, source);
  const std::string shown = source + " (" + Shown(given) + ")";
  const auto launchers =
      std::find_if(keys.begin(), keys.end(), [](const LogVerifier& k) { return k.launchers_check(); });
  if (launchers == keys.end()) {
    throw UsageError("--log-recovery-public-key backs the key launchers check: give --launcher-log-key as well");
  }
  if (given.name != keys.front().name) {
    throw ToolError(shown + " names the log \"" + given.name + "\", not this site's log \"" + keys.front().name + "\"");
  }
  if (given == *launchers) {
    throw ToolError(shown + " is the key launchers check itself; a recovery key is a second key, kept offline");
  }
  if (request.switch_to_log_recovery_key && std::find(site_keys.begin(), site_keys.end(), given) != site_keys.end()) {
    throw ToolError(shown + " is the key this switch replaces; give a new recovery key");
  }
  if (!request.switch_to_log_recovery_key && recorded) {
    if (*recorded != given) {
      throw ToolError(shown + " is not the recovery key " + request.site.string() + " records for its log (" +
                      Shown(*recorded) + ", in " + kSiteLogRecoveryKeyFileName +
                      "); to record another one, remove that file first");
    }
    return std::nullopt;
  }
  return given;
}

// The log keys a publish must be given for the site's log as it stands, known before any key is
// opened: a site that keeps a log is published only with a log key, and one whose log launchers
// check only with the launchers' key too.
void RequireLogKeysGiven(const PublishRequest& request, const LogKeySet& site_keys) {
  // A second log started over the first would fight its tiles, and its checkpoint would hide the
  // history auditors hold.
  if (site_keys.empty() && Exists(request.site / kLogFolder)) {
    throw ToolError(request.site.string() + " serves a release log (" + (request.site / kLogFolder).string() +
                    ") but has no " + kSiteLogKeyFileName +
                    ": restore that file, the log's verifier key, and publish again");
  }
  if (request.log_key.empty() && !site_keys.empty()) {
    throw ToolError(request.site.string() + " keeps a release log (" + kSiteLogKeyFileName + ": " +
                    Shown(site_keys.front()) + "): give --log-key, so that this release is logged like every one " +
                    "before it");
  }
  const auto launchers =
      std::find_if(site_keys.begin(), site_keys.end(), [](const LogVerifier& k) { return k.launchers_check(); });
  if (request.launcher_log_key.empty() && launchers != site_keys.end()) {
    throw ToolError(request.site.string() + " keeps a release log that launchers check (" + Shown(*launchers) +
                    ", in " + kSiteLogKeyFileName + "): give --launcher-log-key as well, or launchers built with it " +
                    "refuse this release");
  }
}

// The site's log as served and checked, with its keys as they will stand: a site that keeps a log
// is published only with its own log keys, a first --log-key starts the site's log, a first
// --launcher-log-key adds the key launchers check to it, and the switch replaces that key by its
// recovery key; the log itself goes on (same origin, same tiles).
LogPlan OpenLog(const PublishRequest& request, const LogSigningKey* key, const SigningKey* launcher_key) {
  const LogKeySet site_keys = ReadSiteLogKeys(request.site);
  RequireLogKeysGiven(request, site_keys);
  LogPlan plan;
  if (key == nullptr) {
    return plan;
  }
  LogKeySet keys = site_keys;
  if (!site_keys.empty()) {
    const LogVerifier given = VerifierOf(site_keys.front().name, key->key.get());
    if (given.public_key != site_keys.front().public_key) {
      throw ToolError("--log-key " + request.log_key.string() + " (" + Shown(given) + ") is not the log key of " +
                      request.site.string() + " (" + Shown(site_keys.front()) + ", in " + kSiteLogKeyFileName + ")");
    }
  } else {
    keys.push_back(VerifierOf(key->origin, key->key.get()));
  }
  const std::optional<LogVerifier> recorded = ReadSiteLogRecoveryKey(request.site);
  LauncherKeyDecision launchers = DecideLauncherLogKey(request, std::move(keys), launcher_key, recorded);
  keys = std::move(launchers.keys);
  plan.launcher_key_added = std::move(launchers.added);
  if (launchers.recovery_used) {
    plan.recovery = ByteBuffer();  // its key is now the one launchers check
  }
  if (const std::optional<LogVerifier> recovery = DecideLogRecoveryKey(request, keys, site_keys, recorded)) {
    const std::string text = recovery->Text() + "\n";
    plan.recovery = ByteBuffer(text.begin(), text.end());
    plan.recovery_written = recovery->Text();
  }
  if (keys != site_keys) {
    const std::string text = LogKeySetText(keys);
    plan.key_set = ByteBuffer(text.begin(), text.end());
  }
  if (site_keys.empty()) {
    plan.key_written = keys.front().Text();
    plan.log.emplace();
    plan.log->checkpoint = Checkpoint{keys.front().name, 0, RootOf({})};
  } else {
    plan.log = ReadSiteLog(request.site, site_keys);
  }
  plan.log->verifiers = keys;
  if (!launchers.switch_line.empty()) {
    plan.switch_line = launchers.switch_line + ", from entry " + std::to_string(plan.log->entries.size());
  }
  return plan;
}

// The served signature, when the served pair is this very release and the log's last entry: the
// same release published again keeps its logged signature instead of a new one. Not when the log
// has just gained or changed the key launchers check: the release is then logged again under a
// new signature, so that its proof carries that key's signature too.
std::optional<ByteBuffer> LoggedSignature(const SiteLog& log, const SiteChange& change,
                                          const PublishedRelease& release) {
  if (log.entries.empty() || change.site_log_key || !RegularFileExists(release.descriptor_file) ||
      !RegularFileExists(release.signature_file)) {
    return std::nullopt;
  }
  const ByteBuffer served = ReadNamedFile(release.descriptor_file, kDescriptorSizeLimit);
  ByteBuffer served_signature = ReadNamedFile(release.signature_file, kSignatureSizeLimit);
  if (!std::ranges::equal(served, AsBytes(change.descriptor)) ||
      LogEntry(served, served_signature) != log.entries.back()) {
    return std::nullopt;
  }
  return served_signature;
}

// What logging `entry` writes: appended as a new entry, or, when it is the log's last entry
// already, only the proof it was logged without (if any).
struct LoggedEntry {
  LogChange change;
  bool appended = false;
  std::string proof_file;  // the entry's proof, when this publish writes it
};

LoggedEntry AddToLog(const std::filesystem::path& site, const SiteLog& log, const ByteBuffer& entry,
                     std::span<const CheckpointSigner> signers, bool already_last) {
  LoggedEntry logged;
  logged.appended = !already_last;
  logged.change = already_last ? ProveLastEntry(site, log, signers) : AppendToLog(site, log, entry, signers);
  if (const std::string proof = ProofPath(entry); logged.change.tiles.contains(proof)) {
    logged.proof_file = (site / kLogFolder / proof).string();
  }
  return logged;
}

// Under the site's lock, with the site mended: opens the keys, decides the change and applies it.
PublishedRelease DecideAndApply(const PublishRequest& request, SiteChange change, PublishedRelease release,
                                const SiteKeyRequest& site_keys, const StepObserver& observer) {
  release.package_already_there = CheckServedTree(release, *change.package);
  // The log key, like the update key, is opened only once the site is this publish's.
  std::optional<LogSigningKey> log_key;
  std::unique_ptr<SigningKey> launcher_log_key;
  if (!request.log_key.empty()) {
    log_key = LoadLogKey(request.log_key, request.log_key_access);
  }
  if (!request.launcher_log_key.empty()) {
    launcher_log_key = OpenSigningKey(request.launcher_log_key, request.launcher_log_key_access);
  }
  LogPlan log_plan = OpenLog(request, log_key ? &*log_key : nullptr, launcher_log_key.get());
  change.site_log_key = std::move(log_plan.key_set);
  change.log_recovery_key = std::move(log_plan.recovery);
  release.log_key_written = log_plan.key_written;
  release.launcher_log_key_added = log_plan.launcher_key_added;
  release.log_recovery_key_written = log_plan.recovery_written;
  RequireVersionInOrder(request, release.record, PublishedReleases(release, log_plan.log));

  // The private key is opened only now that the site is this publish's, and freed right after
  // signing: a wait for the lock never holds it in memory. A release logged already is not signed
  // again.
  const std::optional<ByteBuffer> kept_signature =
      log_plan.log ? LoggedSignature(*log_plan.log, change, release) : std::nullopt;
  {
    const std::unique_ptr<SigningKey> key = OpenSigningKey(request.private_key, request.key_access);
    SiteKeyDecision decision = DecideSiteKey(request.site, *key, site_keys, request.version);
    change.site_key = std::move(decision.site_key);
    change.site_recovery_key = std::move(decision.recovery_key);
    if (change.site_recovery_key && !change.site_recovery_key->empty()) {
      release.recovery_key_written = KeyFingerprint(*change.site_recovery_key);
    }
    if (!decision.switch_line.empty()) {
      release.key_switches.push_back(KeySwitchLine(decision.switch_line));
    }
    release.key_fingerprint = KeyFingerprint(key->public_blob());
    change.signature = kept_signature ? *kept_signature : key->Sign(AsBytes(change.descriptor));
  }
  if (log_plan.log) {
    const std::string& origin = log_plan.log->checkpoint.origin;
    std::vector<CheckpointSigner> signers = {Ed25519Signer(origin, log_key->key.get())};
    if (launcher_log_key) {
      signers.push_back(EcdsaSigner(origin, *launcher_log_key));
    }
    LoggedEntry logged = AddToLog(request.site, *log_plan.log, LogEntry(AsBytes(change.descriptor), change.signature),
                                  signers, kept_signature.has_value());
    change.log_tiles = std::move(logged.change.tiles);
    change.checkpoint = std::move(logged.change.checkpoint);
    release.log_size = logged.change.size;
    release.logged = logged.appended;
    release.proof_file = std::move(logged.proof_file);
  }
  if (!log_plan.switch_line.empty()) {
    release.key_switches.push_back(KeySwitchLine(log_plan.switch_line));
  }
  if (!release.key_switches.empty()) {
    change.key_switches = KeySwitchesWith(request.site, release.key_switches);
  }
  release.site_key_written = change.site_key.has_value() && !request.switch_to_recovery_key;
  if (release.package_already_there) {
    change.package.reset();
  }
  // Every check has passed: only now is the served tree touched. The package first, so the
  // descriptor that names it is never served without it; the descriptor before its signature, as
  // the launcher stores them.
  for (const std::filesystem::path& file : ApplySiteChange(request.site, change, observer)) {
    if (*file.begin() == kServedFolder) {
      release.served_files.push_back(file);
    }
  }
  return release;
}

}  // namespace

std::string DefaultPackageName(const std::string& version) { return "QuorvantisSupportHost-" + version + ".exe"; }

namespace {

// The request's inputs read and checked, before the site is touched and before any key is opened:
// the release, its package and descriptor, and the public keys given.
struct PublishInputs {
  PublishedRelease release;
  SiteChange change;
  SiteKeyRequest site_keys;
};

PublishInputs ReadInputs(const PublishRequest& request) {
  const std::string name = request.name.empty() ? DefaultPackageName(request.version) : request.name;
  auto [release, package] = DescribeRelease(request, name);
  SiteChange change;
  change.package_name = name;
  change.package = std::move(package);
  CheckSigningKeyLocation(request.private_key, request.key_access);
  if (const std::optional<std::filesystem::path> outer = EnclosingSite(request.site)) {
    throw ToolError("--site " + request.site.string() + " lies inside the site " + outer->string() + " (it holds " +
                    (*outer / kSiteKeyFileName).string() +
                    "): a site inside another would be served with its own keys and lock. Give the site's own " +
                    "folder, " + outer->string());
  }
  if (!request.log_key.empty()) {
    // Readable before the lock is waited for; its bytes are read only under the lock.
    const InputFile readable(request.log_key, "log key");
  }
  if (!request.launcher_log_key.empty()) {
    if (request.log_key.empty()) {
      throw UsageError("--launcher-log-key signs the log's checkpoints beside --log-key: give both");
    }
    CheckSigningKeyLocation(request.launcher_log_key, request.launcher_log_key_access);
  } else if (request.switch_to_log_recovery_key) {
    throw UsageError("--switch-to-log-recovery-key goes with --launcher-log-key, naming the recovery key");
  }
  SiteKeyRequest site_keys;
  if (!request.public_key.empty()) {
    site_keys.given = ReadPublicKeyBlob(request.public_key);
    site_keys.given_source = "--public-key " + request.public_key.string();
  }
  if (!request.recovery_public_key.empty()) {
    site_keys.recovery = ReadPublicKeyBlob(request.recovery_public_key);
    site_keys.recovery_source = "--recovery-public-key " + request.recovery_public_key.string();
  }
  site_keys.switch_to_recovery = request.switch_to_recovery_key;
  change.descriptor = WriteUpdateDescriptor(release.record);
  // The launcher reads at most this much descriptor, and must parse back exactly this record.
  if (change.descriptor.size() > kDescriptorSizeLimit ||
      ParseUpdateDescriptor(AsBytes(change.descriptor)) != release.record) {
    throw ToolError("the descriptor written would not be read back unchanged by the launcher");
  }
  return {std::move(release), std::move(change), std::move(site_keys)};
}

}  // namespace

PublishedRelease PublishRelease(const PublishRequest& request, const StepObserver& observer) {
  auto [release, change, site_keys] = ReadInputs(request);

  // From here on the site is touched: Ctrl-C and SIGTERM clean up instead of killing outright.
  const InterruptionGuard interruptions;
  CreateFolders(std::filesystem::absolute(request.site), kServedFolderMode);
  const SiteLock lock(request.site, LockMode::kExclusive, request.lock_wait, request.waiting);
  release.mended = MendInterruptedPublish(request.site);
  const std::string mended = release.mended;
  if (!mended.empty() && request.mended) {
    request.mended(mended);
  }
  try {
    return DecideAndApply(request, std::move(change), std::move(release), site_keys, observer);
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& error) {
    if (mended.empty()) {
      throw;
    }
    // The refusal must not hide that the site changed all the same.
    throw ToolError(std::string(error.what()) + ". The site changed before this refusal, though: " + mended);
  }
}

PublishPlan PlanPublish(const PublishRequest& request) {
  const auto [release, change, site_keys] = ReadInputs(request);
  PublishPlan plan;
  plan.record = release.record;
  plan.package_file = release.package_file;
  const std::filesystem::path& site = request.site;
  const bool site_exists = Exists(site);
  if (site_exists) {
    plan.pending = DescribeInterruptedPublish(site);
  }
  plan.package_already_there = CheckServedTree(release, *change.package);
  const auto root_file = [&](const char* name, std::optional<std::uint64_t> size, std::string what) {
    plan.files.push_back({name, size, Exists(site / name) && what == "new" ? "replaced" : std::move(what)});
  };
  if (!Exists(site / kSiteKeyFileName) || request.switch_to_recovery_key) {
    root_file(kSiteKeyFileName, kPublicKeyBlobSize, "new");
  }
  if (!request.recovery_public_key.empty() &&
      (!Exists(site / kSiteRecoveryKeyFileName) || request.switch_to_recovery_key)) {
    root_file(kSiteRecoveryKeyFileName, kPublicKeyBlobSize, "new");
  } else if (request.switch_to_recovery_key && Exists(site / kSiteRecoveryKeyFileName)) {
    root_file(kSiteRecoveryKeyFileName, 0, "removed");
  }
  if (request.switch_to_recovery_key || request.switch_to_log_recovery_key) {
    root_file(kKeySwitchesFileName, std::nullopt, "a line added");
  }

  // The log as it stands, checked with the site's own verifier keys; the new entry's tiles and
  // bundles have the sizes of a signed one (its 64 bytes of signature are not known yet).
  const LogKeySet site_log_keys = site_exists ? ReadSiteLogKeys(site) : LogKeySet();
  RequireLogKeysGiven(request, site_log_keys);
  std::optional<SiteLog> log;
  if (!request.log_key.empty()) {
    log = site_log_keys.empty() ? SiteLog() : ReadSiteLog(site, site_log_keys);
    const bool adds_launchers_key =
        !request.launcher_log_key.empty() && std::none_of(site_log_keys.begin(), site_log_keys.end(),
                                                          [](const LogVerifier& k) { return k.launchers_check(); });
    if (site_log_keys.empty() || adds_launchers_key || request.switch_to_log_recovery_key) {
      root_file(kSiteLogKeyFileName, std::nullopt, "new");
    }
    if (!request.log_recovery_public_key.empty() && !Exists(site / kSiteLogRecoveryKeyFileName)) {
      root_file(kSiteLogRecoveryKeyFileName, std::nullopt, "new");
    } else if (request.switch_to_log_recovery_key && Exists(site / kSiteLogRecoveryKeyFileName)) {
      root_file(kSiteLogRecoveryKeyFileName, 0, "removed");
    }
  }
  RequireVersionInOrder(request, release.record, PublishedReleases(release, log));
  if (log) {
    std::vector<ByteBuffer> entries = log->entries;
    entries.push_back(LogEntry(AsBytes(change.descriptor), ByteBuffer(kSignatureSize)));
    plan.log_entry = entries.size() - 1;
    for (const auto& [path, bytes] : TilesOf(entries)) {
      if (!Exists(site / kLogFolder / path)) {
        plan.files.push_back({std::filesystem::path(kLogFolder) / path, bytes.size(), "new"});
      }
    }
    plan.files.push_back(
        {std::filesystem::path(kLogFolder) / kProofFolderName / "LEAF-OF-THE-SIGNED-ENTRY", std::nullopt, "new"});
    plan.files.push_back({std::filesystem::path(kLogFolder) / kCheckpointName, std::nullopt, "replaced"});
    plan.unchecked.push_back("that --log-key" +
                             std::string(request.launcher_log_key.empty() ? "" : " and --launcher-log-key") +
                             " are this log's keys");
  }
  if (!plan.package_already_there) {
    plan.files.push_back({release.package_file.lexically_relative(site), release.record.size, "new"});
  }
  const std::filesystem::path client(kClientFolder);
  plan.files.push_back({client / kManifestName, change.descriptor.size(), "replaced"});
  plan.files.push_back({client / kManifestSignatureName, kSignatureSize, "replaced"});
  for (PlannedFile& file : plan.files) {
    if (file.change == "replaced" && !Exists(site / file.path)) {
      file.change = "new";
    }
  }
  std::sort(plan.files.begin(), plan.files.end(),
            [](const PlannedFile& a, const PlannedFile& b) { return PlacedBefore(a.path, b.path); });
  plan.unchecked.insert(plan.unchecked.begin(),
                        "that --private-key is the key the site is published for, and can "
                        "be opened");
  return plan;
}

}  // namespace qvs
