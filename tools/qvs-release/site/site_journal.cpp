#include "tools/qvs-release/site/site_journal.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/update_service_layout.h"
#include "tools/qvs-release/base/interruption.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/site/site_key.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

constexpr mode_t kPublishedFileMode = 0644;

// Links `from` in at `to` and removes `from`; `to` may already hold the same bytes (the link of a
// run that was stopped before it removed `from`), never other ones: published files never change.
void PlaceOrConfirm(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno != EEXIST) {
      RaiseFileError("cannot move into place", to, errno);
    }
    if (ReadNamedFile(from, kPackageSizeLimit) != ReadNamedFile(to, kPackageSizeLimit)) {
      throw ToolError(to.string() + ": holds other bytes than the publish in " + from.parent_path().string() +
                      " puts there; nothing was replaced. Move one of them away, then publish again");
    }
  }
  SyncFolder(to.parent_path());
  if (::unlink(from.c_str()) != 0) {
    RaiseFileError("cannot remove", from, errno);
  }
}

void MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    RaiseFileError("cannot move into place", to, errno);
  }
  SyncFolder(to.parent_path());
}

void Observe(const StepObserver& observer, std::string_view step) {
  if (observer) {
    observer(step);
  }
}

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::regular;
}

[[noreturn]] void RefusePending(const std::filesystem::path& entry, const std::string& why) {
  throw ToolError(entry.string() + ": " + why +
                  "; the pending publish was not completed and nothing was moved into the served tree. Look at it, "
                  "then remove it (or the whole " +
                  std::string(kPendingFolderName) + " folder) and publish again");
}

// The pending folder holds what this tool wrote there, or it is not completed: only regular files
// under the names a publish writes (never a link, which would serve whatever it points to), and a
// descriptor and signature that verify with the site's key.
void CheckPending(const std::filesystem::path& site) {
  const std::filesystem::path pending = site / kPendingFolderName;
  for (const auto& entry : std::filesystem::directory_iterator(pending)) {
    const std::string name = entry.path().filename().string();
    if (name == kPackagesFolderName) {
      if (entry.symlink_status().type() != std::filesystem::file_type::directory) {
        RefusePending(entry.path(), "is not the folder a publish writes");
      }
      for (const auto& package : std::filesystem::directory_iterator(entry.path())) {
        if (!IsRegularFile(package.path()) || package.path().filename().string().starts_with('.')) {
          RefusePending(package.path(), "is not a package file a publish writes");
        }
      }
    } else if (name != kSiteKeyFileName && name != kManifestName && name != kManifestSignatureName) {
      RefusePending(entry.path(), "is not a file a publish writes");
    } else if (!IsRegularFile(entry.path())) {
      RefusePending(entry.path(), "is not a regular file");
    }
  }
  const bool descriptor_pending = Exists(pending / kManifestName);
  if (!descriptor_pending && !Exists(pending / kManifestSignatureName)) {
    return;
  }
  // The site's key as it will stand: a first publish's key is pending beside the pair.
  const std::filesystem::path key_file =
      Exists(pending / kSiteKeyFileName) ? pending / kSiteKeyFileName : site / kSiteKeyFileName;
  const std::filesystem::path descriptor = (descriptor_pending ? pending : site / kClientFolder) / kManifestName;
  const std::filesystem::path signature = pending / kManifestSignatureName;
  bool verifies = false;
  try {
    const ScopedPkey key = PublicKeyFromBlob(ReadNamedFile(key_file, kPublicKeyBlobSize));
    verifies = SignatureMatches(key.get(), ReadNamedFile(descriptor, kDescriptorSizeLimit),
                                ReadNamedFile(signature, kSignatureSizeLimit));
  } catch (const std::exception& error) {
    RefusePending(signature, std::string("cannot be checked against ") + key_file.string() + " (" + error.what() + ")");
  }
  if (!verifies) {
    RefusePending(signature, "does not verify " + descriptor.string() + " with the site's key " + key_file.string());
  }
}

// Moves the pending folder's files into place, each step only if its file is still there: so a
// run stopped anywhere is completed by running this again.
void CompletePending(const std::filesystem::path& site, const StepObserver& observer) {
  const std::filesystem::path pending = site / kPendingFolderName;
  const std::filesystem::path client = site / kClientFolder;
  CheckPending(site);
  if (Exists(pending / kSiteKeyFileName)) {
    Observe(observer, "site key");
    PlaceOrConfirm(pending / kSiteKeyFileName, site / kSiteKeyFileName);
  }
  if (Exists(pending / kPackagesFolderName)) {
    std::filesystem::create_directories(client / kPackagesFolderName);
    for (const auto& entry : std::filesystem::directory_iterator(pending / kPackagesFolderName)) {
      Observe(observer, "package");
      PlaceOrConfirm(entry.path(), client / kPackagesFolderName / entry.path().filename());
    }
    std::filesystem::remove(pending / kPackagesFolderName);
  }
  // The descriptor before its signature: a stop between them leaves the signature pending, and
  // the next run completes the pair.
  if (Exists(pending / kManifestName)) {
    Observe(observer, "descriptor");
    MoveIntoPlace(pending / kManifestName, client / kManifestName);
  }
  if (Exists(pending / kManifestSignatureName)) {
    Observe(observer, "signature");
    MoveIntoPlace(pending / kManifestSignatureName, client / kManifestSignatureName);
  }
  std::filesystem::remove(pending);
  SyncFolder(site);
}

// Removes the staging folder unless it was committed.
class StagingFolder {
 public:
  explicit StagingFolder(std::filesystem::path path) : path_(std::move(path)) {
    std::filesystem::create_directory(path_);
  }
  ~StagingFolder() {
    if (!path_.empty()) {
      std::error_code error;
      std::filesystem::remove_all(path_, error);
    }
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  void Write(const std::filesystem::path& relative, ByteView bytes) {
    ThrowIfInterrupted();
    std::filesystem::create_directories((path_ / relative).parent_path());
    CreateNewFile(path_ / relative, bytes, kPublishedFileMode);
  }
  void CommitAs(const std::filesystem::path& pending) {
    if (::rename(path_.c_str(), pending.c_str()) != 0) {
      RaiseFileError("cannot commit the publish", pending, errno);
    }
    path_.clear();
    SyncFolder(pending.parent_path());
  }

 private:
  std::filesystem::path path_;
};

}  // namespace

void ApplySiteChange(const std::filesystem::path& site, const SiteChange& change, const StepObserver& observer) {
  Observe(observer, "stage");
  {
    StagingFolder staging(site / kStagingFolderName);
    if (change.site_key) {
      staging.Write(kSiteKeyFileName, *change.site_key);
    }
    if (change.package) {
      staging.Write(std::filesystem::path(kPackagesFolderName) / change.package_name, *change.package);
    }
    staging.Write(kManifestName, AsBytes(change.descriptor));
    staging.Write(kManifestSignatureName, change.signature);
    ThrowIfInterrupted();
    Observe(observer, "commit");
    staging.CommitAs(site / kPendingFolderName);
  }
  // Decided: a signal from here on is noted and the change is completed all the same.
  CompletePending(site, observer);
}

std::string MendInterruptedPublish(const std::filesystem::path& site) {
  std::string report;
  if (Exists(site / kStagingFolderName)) {
    std::filesystem::remove_all(site / kStagingFolderName);
    SyncFolder(site);
    report = "Removed the files of a publish that was stopped before it took effect";
  }
  if (Exists(site / kPendingFolderName)) {
    CompletePending(site, {});
    report += std::string(report.empty() ? "" : "; ") + "Completed a publish that was stopped while it took effect";
  }
  return report;
}

std::string DescribeInterruptedPublish(const std::filesystem::path& site) {
  std::string description;
  if (Exists(site / kPendingFolderName)) {
    description = "a publish was stopped while it took effect and is not complete (" +
                  (site / kPendingFolderName).string() + "); the next publish completes it";
  }
  if (Exists(site / kStagingFolderName)) {
    description += std::string(description.empty() ? "" : "; ") +
                   "a publish was stopped before it took effect and left its files in " +
                   (site / kStagingFolderName).string() + "; the next publish removes them";
  }
  return description;
}

}  // namespace qvs
