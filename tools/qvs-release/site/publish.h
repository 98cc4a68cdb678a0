#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/site/site_journal.h"
#include "tools/qvs-release/site/site_key.h"
#include "tools/qvs-release/site/site_log_keys.h"
#include "trust/update_descriptor.h"

namespace qvs {

// Whether `version` is lower than `served`, number by number; a longer version is the higher when
// the shorter is its beginning.
bool IsLowerVersion(const std::string& version, const std::string& served);

struct PublishRequest {
  std::string private_key;  // a PEM file or a pkcs11: URI
  KeyAccess key_access;
  std::filesystem::path site;
  std::string version;
  bool allow_odd_version = false;  // a version that does not begin and end with a digit
  bool allow_downgrade = false;    // a version lower than the one the site serves
  std::filesystem::path package;
  std::string name;                  // empty: "QuorvantisSupportHost-VERSION.exe"
  std::filesystem::path public_key;  // empty: the site's key file, or the private key's own half
  // The public half of the site key's recovery key, recorded by the site (empty: none given).
  std::filesystem::path recovery_public_key;
  // Signed with the recovery key after the site's private key was lost: the recovery key becomes
  // the site's key. Without it, the recovery key is refused like any other key.
  bool switch_to_recovery_key = false;
  std::filesystem::path log_key;  // empty: no log (refused for a site that keeps one)
  KeyAccess log_key_access;
  // The log's P-256 key that launchers check, a PEM file or a pkcs11: URI: it signs each checkpoint
  // beside the log key. Empty: none (refused for a site whose log has one).
  std::string launcher_log_key;
  KeyAccess launcher_log_key_access;
  // The same two for the key launchers check: its recovery key's verifier key, and the switch to it
  // (then --launcher-log-key is the recovery key).
  std::filesystem::path log_recovery_public_key;
  bool switch_to_log_recovery_key = false;
  std::function<void()> waiting;  // told once when another publish holds the site's lock
  // Told at once what a stopped publish left and this one mended, before anything else is checked:
  // said even when this publish is then refused.
  std::function<void(const std::string&)> mended;
  std::chrono::milliseconds lock_wait = std::chrono::minutes(2);
};

struct PublishedRelease {
  UpdateDescriptorRecord record;
  std::filesystem::path package_file;
  bool package_already_there = false;
  std::string mended;  // what an interrupted publish left and this one mended, if anything
  std::string key_fingerprint;
  bool site_key_written = false;
  std::uint64_t log_size = 0;             // the log's size after the publish; 0 without a log
  std::string log_key_written;            // the log verifier key the site now keeps, when this publish wrote it
  bool logged = false;                    // a new entry was appended (not for a release already logged)
  std::string launcher_log_key_added;     // the P-256 verifier key this publish added to the site's log
  std::string proof_file;                 // the served pair's proof, when this publish wrote it
  std::string recovery_key_written;       // the fingerprint of the recovery key this publish recorded
  std::string log_recovery_key_written;   // the verifier key of the log's recovery key it recorded
  std::vector<std::string> key_switches;  // the switches this publish made, as the site records them
  // The served files this publish added or replaced, relative to the site, in the order it placed
  // them: the order to upload them in.
  std::vector<std::filesystem::path> served_files;
};

// A file a publish places, relative to the site.
struct PlannedFile {
  std::filesystem::path path;
  std::optional<std::uint64_t> size;  // none: known only once signed (a proof, the checkpoint)
  std::string change;                 // "new", "replaced", "removed" or "a line added"
};

// What logging the release adds to the site's log. The release logged last already keeps its
// served signature, and gains at most the proof it was logged without; otherwise it is appended.
struct LogEntryPlan {
  std::uint64_t index = 0;  // the entry the release is
  std::optional<ByteBuffer> logged_signature;
  std::map<std::string, std::uint64_t> tiles;  // the tiles and bundles the log gains, by size
  bool signs_checkpoint = false;               // a new checkpoint and the entry's proof
};

// A publish decided from the request and the site as they stand, before any key is opened: every
// check that needs no key, what the keys must then be, and every file it places, in the order it
// places them. A publish makes it under the site's lock, then opens the keys, signs and applies
// it without reading the site again; --dry-run prints it.
struct PublishPlan {
  UpdateDescriptorRecord record;
  std::string descriptor;  // the bytes to sign
  std::filesystem::path package_file;
  bool package_already_there = false;
  std::string pending;  // a stopped publish this one would complete first (a dry run only)
  SiteKeyPlan site_keys;
  LogKeyPlan log_keys;
  std::optional<LogEntryPlan> log_entry;  // with a log
  std::vector<std::string> key_switches;  // the site's switch record as it stands, when a switch adds to it
  std::vector<PlannedFile> files;
  std::vector<std::string> unchecked;  // what only the keys can tell
};
PublishPlan PlanPublish(const PublishRequest& request);

// Lays out or updates the site: the package, then "stable.manifest", then "stable.manifest.sig".
// The inputs are checked before the site is touched; then, holding the site's lock, it mends
// what an interrupted publish left, plans the change, opens the keys, checks them against the
// site's and signs, and changes the site all or nothing (site_journal.h). A refusal (ToolError or
// the launcher's sentence) leaves the served files as they were. A package file that already
// exists is never replaced: with the same bytes it is kept, with other bytes the release is
// refused. `observer` sees each step of the change (for tests, which stop it there).
PublishedRelease PublishRelease(const PublishRequest& request, const StepObserver& observer = {});

}  // namespace qvs
