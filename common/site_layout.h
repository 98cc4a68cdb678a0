#pragma once

#include "common/update_service_layout.h"

namespace qvs {

// A publisher's site folder on disk, as the publisher tool keeps it: the service's tree
// (update_service_layout.h) below kServedFolder, and beside it, in the site's root, the tool's own
// files, which are never served. Every name a site holds is defined there or here.
inline constexpr char kServedFolder[] = "downloads";

// The public key the site is published for: the 72-byte blob. Launchers built with another key
// refuse every release of the site, so a private key that does not match it is refused before
// anything is signed.
inline constexpr char kSiteKeyFileName[] = "qvs-site-key.pub";
// The public half of the site key's recovery key: a cold key that launchers are built to trust as
// well (QVS_RECOVERY_KEY_FILE), for the day the site's private key is lost. A publish signed with
// it is accepted only as the switch to it, which makes it the site's key.
inline constexpr char kSiteRecoveryKeyFileName[] = "qvs-site-recovery-key.pub";
// The release log's verifier keys, one a line, from the first publish with a log key on: the
// log's Ed25519 key first, then the P-256 key launchers check, when the log has one.
inline constexpr char kSiteLogKeyFileName[] = "qvs-log-key.vkey";
// The verifier key of the recovery key for the P-256 key launchers check: a cold key of the same
// log that launchers are built to trust as well (QVS_LOG_RECOVERY_KEY_FILE).
inline constexpr char kSiteLogRecoveryKeyFileName[] = "qvs-log-recovery-key.vkey";
// Every switch of the site to a recovery key, the update key's or the launchers' log key's, one a
// line: when, which key, from which to which. Lines are only ever added.
inline constexpr char kKeySwitchesFileName[] = "qvs-key-switches.txt";

// One publish at a time per site: an advisory lock (flock) on this file. The file stays; only the
// lock on it comes and goes, so a process that waits never holds a file that another has removed.
inline constexpr char kSiteLockFileName[] = "qvs-publish.lock";
// A publish's new files while they are written, and the same folder once the change is decided
// (site_journal.h). Inside either, the log's files lie below kPendingLogFolderName as they go
// below kLogFolder, the packages below kPackagesFolderName, the site's own files at the top.
inline constexpr char kStagingFolderName[] = "qvs-publish.staging";
inline constexpr char kPendingFolderName[] = "qvs-publish.pending";
inline constexpr char kPendingLogFolderName[] = "log";

}  // namespace qvs
