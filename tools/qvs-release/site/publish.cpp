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
std::vector<UpdateDescriptorRecord> PublishedReleases(const std::filesystem::path& descriptor_file,
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
  if (RegularFileExists(descriptor_file)) {
    try {
      published.push_back(ParseUpdateDescriptor(ReadNamedFile(descriptor_file, kDescriptorSizeLimit)));
    } catch (const std::exception&) {
      // A served descriptor that is no descriptor is replaced; it names no version to keep.
    }
  }
  return published;
}

// The release the request describes, checked as the launcher will read it, and its package.
struct DescribedRelease {
  UpdateDescriptorRecord record;
  ByteBuffer package;
  std::string descriptor;
};

// The request's inputs read and checked, before the site is touched and before any key is opened:
// the release, its package and descriptor, and the public keys given.
struct PublishInputs {
  std::string package_name;
  DescribedRelease release;
  SiteKeyRequest site_keys;
  LogKeyRequest log_keys;
};

// The release the request describes, checked as the launcher will read it.
DescribedRelease DescribeRelease(const PublishRequest& request, const std::string& name) {
  CheckVersion(request.version, request.allow_odd_version);
  DescribedRelease release;
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
  release.package = file.ReadAll();
  release.record.size = release.package.size();
  release.record.sha256 = ToDigestText(Sha256Of(release.package));
  release.descriptor = WriteUpdateDescriptor(release.record);
  // The launcher reads at most this much descriptor, and must parse back exactly this record.
  if (release.descriptor.size() > kDescriptorSizeLimit ||
      ParseUpdateDescriptor(AsBytes(release.descriptor)) != release.record) {
    throw ToolError("the descriptor written would not be read back unchanged by the launcher");
  }
  return release;
}

std::string DefaultPackageName(const std::string& version) { return "QuorvantisSupportHost-" + version + ".exe"; }

PublishInputs ReadInputs(const PublishRequest& request) {
  PublishInputs inputs;
  inputs.package_name = request.name.empty() ? DefaultPackageName(request.version) : request.name;
  inputs.release = DescribeRelease(request, inputs.package_name);
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
  SiteKeyRequest& site_keys = inputs.site_keys;
  if (!request.public_key.empty()) {
    site_keys.given = ReadPublicKeyBlob(request.public_key);
    site_keys.given_source = "--public-key " + request.public_key.string();
  }
  if (!request.recovery_public_key.empty()) {
    site_keys.recovery = ReadPublicKeyBlob(request.recovery_public_key);
    site_keys.recovery_source = "--recovery-public-key " + request.recovery_public_key.string();
  }
  site_keys.switch_to_recovery = request.switch_to_recovery_key;
  LogKeyRequest& log_keys = inputs.log_keys;
  log_keys.log_key = request.log_key.string();
  log_keys.launcher_log_key = request.launcher_log_key;
  if (!request.log_recovery_public_key.empty()) {
    log_keys.recovery_source = "--log-recovery-public-key " + request.log_recovery_public_key.string();
    log_keys.recovery = ReadLogRecoveryKey(request.log_recovery_public_key, log_keys.recovery_source);
  }
  log_keys.switch_to_recovery = request.switch_to_log_recovery_key;
  return inputs;
}

// The served signature, when the served pair is this very release and the log's last entry: the
// same release published again keeps its logged signature instead of a new one. Not when the log
// gains or changes the key launchers check: the release is then logged again under a new
// signature, so that its proof carries that key's signature too.
std::optional<ByteBuffer> LoggedSignature(const std::filesystem::path& site, const PublishPlan& plan) {
  const SiteLog& log = *plan.log_keys.log;
  const std::filesystem::path client = site / kClientFolder;
  if (log.entries.empty() || plan.log_keys.writes_key_set || !RegularFileExists(client / kDescriptorName) ||
      !RegularFileExists(client / kDescriptorSignatureName)) {
    return std::nullopt;
  }
  const ByteBuffer served = ReadNamedFile(client / kDescriptorName, kDescriptorSizeLimit);
  ByteBuffer served_signature = ReadNamedFile(client / kDescriptorSignatureName, kSignatureSizeLimit);
  if (!std::ranges::equal(served, AsBytes(plan.descriptor)) ||
      LogEntry(served, served_signature) != log.entries.back()) {
    return std::nullopt;
  }
  return served_signature;
}

// Where an entry's proof goes before the entry is signed: its name is the signed entry's hash.
constexpr char kUnsignedProofName[] = "LEAF-OF-THE-SIGNED-ENTRY";

// What logging the release adds to the site's log: a new entry's tiles, bundles, proof and
// checkpoint; or, for the log's last entry already, only the proof it was logged without, if any.
LogEntryPlan PlanLogEntry(const std::filesystem::path& site, const PublishPlan& plan) {
  const SiteLog& log = *plan.log_keys.log;
  LogEntryPlan entry;
  entry.logged_signature = LoggedSignature(site, plan);
  if (entry.logged_signature) {
    entry.index = log.entries.size() - 1;
    entry.signs_checkpoint = !Exists(site / kLogFolder / ProofPath(log.entries.back()));
    return entry;
  }
  entry.index = log.entries.size();
  entry.signs_checkpoint = true;
  // The new entry's tiles have the sizes of the signed one (its signature is not made yet). Tiles
  // already served stay as they are: full ones never change, and a partial one is named by its
  // width, so a new width is a new file.
  std::vector<ByteBuffer> entries = log.entries;
  entries.push_back(LogEntry(AsBytes(plan.descriptor), ByteBuffer(kSignatureSize)));
  for (const auto& [path, bytes] : TilesOf(entries)) {
    if (!Exists(site / kLogFolder / path)) {
      entry.tiles.emplace(path, bytes.size());
    }
  }
  return entry;
}

// The files the plan places, in the order it places them, and whether each is new to the site.
std::vector<PlannedFile> PlannedFiles(const std::filesystem::path& site, const PublishRequest& request,
                                      const PublishPlan& plan) {
  std::vector<PlannedFile> files;
  const auto add = [&](const std::filesystem::path& path, std::optional<std::uint64_t> size) {
    files.push_back({path, size, Exists(site / path) ? "replaced" : "new"});
  };
  const auto add_root_file = [&](const char* name, const std::optional<ByteBuffer>& bytes) {
    if (bytes && bytes->empty()) {
      files.push_back({name, 0, "removed"});
    } else if (bytes) {
      add(name, bytes->size());
    }
  };
  if (plan.site_keys.writes_site_key) {
    add(kSiteKeyFileName, kPublicKeyBlobSize);
  }
  add_root_file(kSiteRecoveryKeyFileName, plan.site_keys.recovery_key);
  if (plan.log_keys.writes_key_set) {
    add(kSiteLogKeyFileName, std::nullopt);
  }
  add_root_file(kSiteLogRecoveryKeyFileName, plan.log_keys.recovery_file);
  if (request.switch_to_recovery_key || request.switch_to_log_recovery_key) {
    files.push_back({kKeySwitchesFileName, std::nullopt, "a line added"});
  }
  const std::filesystem::path log_folder(kLogFolder);
  if (const std::optional<LogEntryPlan>& entry = plan.log_entry) {
    for (const auto& [path, size] : entry->tiles) {
      add(log_folder / path, size);
    }
    if (entry->signs_checkpoint) {
      add(log_folder / (entry->logged_signature ? ProofPath(plan.log_keys.log->entries.back())
                                                : std::string(kProofFolderName) + "/" + kUnsignedProofName),
          std::nullopt);
      add(log_folder / kCheckpointName, std::nullopt);
    }
  }
  if (!plan.package_already_there) {
    add(plan.package_file.lexically_relative(site), plan.record.size);
  }
  const std::filesystem::path client(kClientFolder);
  add(client / kDescriptorName, plan.descriptor.size());
  add(client / kDescriptorSignatureName, kSignatureSize);
  std::sort(files.begin(), files.end(),
            [](const PlannedFile& a, const PlannedFile& b) { return PlacedBefore(a.path, b.path); });
  return files;
}

// The whole change, decided from the inputs and the site as it stands, opening no key.
PublishPlan PlanChange(const PublishRequest& request, const PublishInputs& inputs) {
  const std::filesystem::path& site = request.site;
  const std::filesystem::path client = site / kClientFolder;
  PublishPlan plan;
  plan.record = inputs.release.record;
  plan.descriptor = inputs.release.descriptor;
  plan.package_file = client / kPackagesFolderName / inputs.package_name;
  // Only regular files stand where the release files go, and a package already published holds
  // the same bytes. (Whether every file can be moved into place is checked once they are staged,
  // before the change is decided.)
  RegularFileExists(client / kDescriptorName);
  RegularFileExists(client / kDescriptorSignatureName);
  plan.package_already_there = SamePackageAlreadyPublished(plan.package_file, inputs.release.package);
  plan.log_keys = PlanLogKeys(site, inputs.log_keys);
  RequireVersionInOrder(request, plan.record, PublishedReleases(client / kDescriptorName, plan.log_keys.log));
  plan.site_keys = PlanSiteKeys(site, inputs.site_keys);
  if (plan.log_keys.log) {
    plan.log_entry = PlanLogEntry(site, plan);
  }
  if (request.switch_to_recovery_key || request.switch_to_log_recovery_key) {
    plan.key_switches = ReadKeySwitches(site);
  }
  plan.files = PlannedFiles(site, request, plan);
  plan.unchecked.push_back("that --private-key is the key the site is published for, and can be opened");
  if (plan.log_keys.log) {
    plan.unchecked.push_back(request.launcher_log_key.empty()
                                 ? "that --log-key is this log's key"
                                 : "that --log-key and --launcher-log-key are this log's keys");
  }
  return plan;
}

// The plan signed: the change to apply, and what the publish reports.
struct SignedChange {
  SiteChange change;
  PublishedRelease release;
};

// Under the site's lock: opens the keys, binds the plan to them and signs.
SignedChange Sign(const PublishRequest& request, const PublishInputs& inputs, const PublishPlan& plan) {
  SignedChange result;
  SiteChange& change = result.change;
  PublishedRelease& release = result.release;
  release.record = plan.record;
  release.package_file = plan.package_file;
  release.package_already_there = plan.package_already_there;
  change.package_name = inputs.package_name;
  if (!plan.package_already_there) {
    change.package = inputs.release.package;
  }
  change.descriptor = plan.descriptor;
  change.site_recovery_key = plan.site_keys.recovery_key;
  change.log_recovery_key = plan.log_keys.recovery_file;
  release.log_recovery_key_written = plan.log_keys.recovery_written;
  if (plan.site_keys.recovery_key && !plan.site_keys.recovery_key->empty()) {
    release.recovery_key_written = KeyFingerprint(*plan.site_keys.recovery_key);
  }

  // The log key, like the update key, is opened only once the site is this publish's.
  std::optional<LogSigningKey> log_key;
  std::unique_ptr<SigningKey> launcher_log_key;
  std::optional<LogKeyDecision> logs;
  if (plan.log_keys.log) {
    log_key = LoadLogKey(request.log_key, request.log_key_access);
    if (!request.launcher_log_key.empty()) {
      launcher_log_key = OpenSigningKey(request.launcher_log_key, request.launcher_log_key_access);
    }
    logs = BindLogKeys(request.site, plan.log_keys, inputs.log_keys, *log_key, launcher_log_key.get());
    change.site_log_key = logs->key_set;
    release.log_key_written = logs->key_written;
    release.launcher_log_key_added = logs->launcher_key_added;
  }

  // The private key is opened only now that the site is this publish's, and freed right after
  // signing: a wait for the lock never holds it in memory. A release logged already is not signed
  // again.
  {
    const std::unique_ptr<SigningKey> key = OpenSigningKey(request.private_key, request.key_access);
    SiteKeyDecision decision = BindSiteKeys(request.site, plan.site_keys, *key, inputs.site_keys, request.version);
    change.site_key = std::move(decision.site_key);
    if (!decision.switch_line.empty()) {
      release.key_switches.push_back(KeySwitchLine(decision.switch_line));
    }
    release.key_fingerprint = KeyFingerprint(key->public_blob());
    const std::optional<ByteBuffer> kept = plan.log_entry ? plan.log_entry->logged_signature : std::nullopt;
    change.signature = kept ? *kept : key->Sign(AsBytes(change.descriptor));
  }
  if (logs) {
    const std::string& origin = logs->log.checkpoint.origin;
    std::vector<CheckpointSigner> signers = {Ed25519Signer(origin, log_key->key.get())};
    if (launcher_log_key) {
      signers.push_back(EcdsaSigner(origin, *launcher_log_key));
    }
    const ByteBuffer entry = LogEntry(AsBytes(change.descriptor), change.signature);
    const LogEntryPlan& planned = *plan.log_entry;
    release.logged = !planned.logged_signature;
    release.log_size = planned.index + 1;
    if (planned.signs_checkpoint) {
      LogChange logged =
          planned.logged_signature ? ProveLastEntry(logs->log, signers) : AppendToLog(logs->log, entry, signers);
      for (const auto& [path, size] : planned.tiles) {
        change.log_tiles.emplace(path, std::move(logged.tiles.at(path)));
      }
      const std::string proof = ProofPath(entry);
      change.log_tiles.emplace(proof, std::move(logged.tiles.at(proof)));
      change.checkpoint = std::move(logged.checkpoint);
      release.proof_file = (request.site / kLogFolder / proof).string();
    }
    if (!logs->switch_line.empty()) {
      release.key_switches.push_back(KeySwitchLine(logs->switch_line));
    }
  }
  if (!release.key_switches.empty()) {
    change.key_switches = KeySwitchesWith(plan.key_switches, release.key_switches);
  }
  release.site_key_written = change.site_key.has_value() && !request.switch_to_recovery_key;
  return result;
}

}  // namespace

PublishedRelease PublishRelease(const PublishRequest& request, const StepObserver& observer) {
  const PublishInputs inputs = ReadInputs(request);

  // From here on the site is touched: Ctrl-C and SIGTERM clean up instead of killing outright.
  const InterruptionGuard interruptions;
  CreateFolders(std::filesystem::absolute(request.site), kServedFolderMode);
  const SiteLock lock(request.site, LockMode::kExclusive, request.lock_wait, request.waiting);
  const std::string mended = MendInterruptedPublish(request.site);
  if (!mended.empty() && request.mended) {
    request.mended(mended);
  }
  try {
    auto [change, release] = Sign(request, inputs, PlanChange(request, inputs));
    release.mended = mended;
    // Every check has passed: only now is the served tree touched. The package first, so the
    // descriptor that names it is never served without it; the descriptor before its signature, as
    // the launcher stores them.
    for (const std::filesystem::path& file : ApplySiteChange(request.site, change, observer)) {
      if (*file.begin() == kServedFolder) {
        release.served_files.push_back(file);
      }
    }
    return release;
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
  const PublishInputs inputs = ReadInputs(request);
  const std::string pending = Exists(request.site) ? DescribeInterruptedPublish(request.site) : std::string();
  PublishPlan plan = PlanChange(request, inputs);
  plan.pending = pending;
  return plan;
}

}  // namespace qvs
