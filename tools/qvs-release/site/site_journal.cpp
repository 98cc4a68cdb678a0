#include "tools/qvs-release/site/site_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "common/site_layout.h"
#include "common/update_service_layout.h"
#include "tools/qvs-release/base/interruption.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/site_key.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

constexpr mode_t kPublishedFileMode = 0644;

void Observe(const StepObserver& observer, std::string_view step) {
  if (observer) {
    observer(step);
  }
}

[[noreturn]] void RefusePending(const std::filesystem::path& entry, const std::string& why) {
  throw ToolError(entry.string() + ": " + why +
                  "; the pending publish was not completed and nothing was moved into the served tree. Look at it, "
                  "then remove it (or the whole " +
                  std::string(kPendingFolderName) + " folder) and publish again");
}

// One file of a pending publish: where it goes, how, and the step's name for the observer.
struct PendingMove {
  std::filesystem::path from;
  std::filesystem::path to;
  Placement placement;
  std::string_view step;
  bool remove = false;  // an empty file in the pending folder: the file at `to` goes
};

// The files of the site's root a publish writes, each replaced whole, or removed.
struct RootFile {
  std::string_view name;
  std::string_view step;
  bool removable;
};
constexpr RootFile kRootFiles[] = {
    {kKeySwitchesFileName, "key switches", false},
    {kSiteKeyFileName, "site key", false},
    {kSiteRecoveryKeyFileName, "recovery key", true},
    // The log's key set grows when a key launchers check is added, and changes on a switch.
    {kSiteLogKeyFileName, "log key", false},
    {kSiteLogRecoveryKeyFileName, "log recovery key", true},
};

// A pending folder (or the staging folder about to become it) as this tool wrote it, or it is not
// completed: only regular files under the names a publish writes (never a link, which would serve
// whatever it points to), and a descriptor and signature that verify with the site's key. Returns
// the moves that complete it, in PlacedBefore's order.
std::vector<PendingMove> ReadPending(const std::filesystem::path& site, const std::filesystem::path& pending) {
  const std::filesystem::path client = site / kClientFolder;
  std::vector<PendingMove> moves;
  // The three whose bytes are checked before anything moves.
  std::optional<PendingMove> site_key;
  std::optional<PendingMove> descriptor;
  std::optional<PendingMove> signature;
  for (const auto& entry : std::filesystem::directory_iterator(pending)) {
    const std::string name = entry.path().filename().string();
    const bool regular = entry.symlink_status().type() == std::filesystem::file_type::regular;
    if (name == kPendingLogFolderName) {
      if (entry.symlink_status().type() != std::filesystem::file_type::directory) {
        RefusePending(entry.path(), "is not the folder a publish writes");
      }
      for (const auto& file : std::filesystem::recursive_directory_iterator(entry.path())) {
        const auto type = file.symlink_status().type();
        const std::filesystem::path relative = file.path().lexically_relative(entry.path());
        if (type == std::filesystem::file_type::directory) {
          continue;
        }
        if (type != std::filesystem::file_type::regular) {
          RefusePending(file.path(), "is not a log file a publish writes");
        }
        if (relative == kCheckpointName) {
          moves.push_back({file.path(), site / kLogFolder / relative, Placement::kReplace, "checkpoint"});
        } else {
          moves.push_back({file.path(), site / kLogFolder / relative, Placement::kKeep, "log tile"});
        }
      }
    } else if (name == kPackagesFolderName) {
      if (entry.symlink_status().type() != std::filesystem::file_type::directory) {
        RefusePending(entry.path(), "is not the folder a publish writes");
      }
      for (const auto& package : std::filesystem::directory_iterator(entry.path())) {
        if (package.symlink_status().type() != std::filesystem::file_type::regular ||
            package.path().filename().string().starts_with('.')) {
          RefusePending(package.path(), "is not a package file a publish writes");
        }
        moves.push_back(
            {package.path(), client / kPackagesFolderName / package.path().filename(), Placement::kKeep, "package"});
      }
    } else if (const auto* root = std::find_if(std::begin(kRootFiles), std::end(kRootFiles),
                                               [&name](const RootFile& file) { return file.name == name; });
               root != std::end(kRootFiles)) {
      if (!regular) {
        RefusePending(entry.path(), "is not a regular file");
      }
      const bool remove = root->removable && std::filesystem::file_size(entry.path()) == 0;
      moves.push_back({entry.path(), site / name, Placement::kReplace, root->step, remove});
      if (name == kSiteKeyFileName) {
        site_key = moves.back();
      }
    } else if (name != kDescriptorName && name != kDescriptorSignatureName) {
      RefusePending(entry.path(), "is not a file a publish writes");
    } else if (!regular) {
      RefusePending(entry.path(), "is not a regular file");
    } else if (name == kDescriptorName) {
      descriptor = PendingMove{entry.path(), client / name, Placement::kReplace, "descriptor"};
    } else {
      signature = PendingMove{entry.path(), client / name, Placement::kReplace, "signature"};
    }
  }
  if (descriptor || signature) {
    // The site's key as it will stand: a first publish's key is pending beside the pair.
    const std::filesystem::path key_file = site_key ? site_key->from : site / kSiteKeyFileName;
    const std::filesystem::path descriptor_file = descriptor ? descriptor->from : client / kDescriptorName;
    const std::filesystem::path signature_file = pending / kDescriptorSignatureName;
    bool verifies = false;
    try {
      const ScopedPkey key = PublicKeyFromBlob(ReadNamedFile(key_file, kPublicKeyBlobSize));
      verifies = SignatureMatches(key.get(), ReadNamedFile(descriptor_file, kDescriptorSizeLimit),
                                  ReadNamedFile(signature_file, kSignatureSizeLimit));
    } catch (const std::exception& error) {
      RefusePending(signature_file,
                    std::string("cannot be checked against ") + key_file.string() + " (" + error.what() + ")");
    }
    if (!verifies) {
      RefusePending(signature_file,
                    "does not verify " + descriptor_file.string() + " with the site's key " + key_file.string());
    }
  }
  for (const std::optional<PendingMove>& move : {descriptor, signature}) {
    if (move) {
      moves.push_back(*move);
    }
  }
  std::sort(moves.begin(), moves.end(), [&site](const PendingMove& a, const PendingMove& b) {
    return PlacedBefore(a.to.lexically_relative(site), b.to.lexically_relative(site));
  });
  return moves;
}

// Why the moves cannot all be made, or nothing: each target's folder, or the nearest one that
// exists (the rest is created inside it), must be one this process may write into, on the site's
// file system, since files are moved into place by link and rename.
std::string WhyMovesCannotBeMade(const std::filesystem::path& site, const std::vector<PendingMove>& moves) {
  struct stat site_status {};
  if (::stat(site.c_str(), &site_status) != 0) {
    return site.string() + ": cannot examine: " + std::strerror(errno);
  }
  std::set<std::filesystem::path> folders;
  for (const PendingMove& move : moves) {
    folders.insert(move.to.parent_path());
  }
  for (std::filesystem::path folder : folders) {
    std::error_code error;
    while (!std::filesystem::exists(folder, error) && folder.has_relative_path()) {
      folder = folder.parent_path();
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
      return folder.string() + ": cannot examine: " + std::strerror(errno);
    }
    if (status.st_dev != site_status.st_dev) {
      return folder.string() + " lies on another file system than " + site.string() +
             "; publish moves files into place by link and rename, so both must share one";
    }
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      return folder.string() + ": this user cannot write into it (" + std::strerror(errno) +
             "), and the publish moves files there";
    }
  }
  return {};
}

// Moves the pending folder's files into place; each move is made only if its file is still
// there, so a run stopped anywhere is completed by running this again.
std::vector<std::filesystem::path> CompletePending(const std::filesystem::path& site, const StepObserver& observer) {
  const std::filesystem::path pending = site / kPendingFolderName;
  const std::vector<PendingMove> moves = ReadPending(site, pending);
  if (const std::string why = WhyMovesCannotBeMade(site, moves); !why.empty()) {
    throw ToolError(pending.string() + ": the stopped publish cannot be completed: " + why +
                    "; nothing was moved. Mend that, then publish again");
  }
  std::vector<std::filesystem::path> placed;
  for (const PendingMove& move : moves) {
    Observe(observer, move.step);
    if (move.remove) {
      // Idempotent: a run stopped between the two removals removes what is left.
      std::filesystem::remove(move.to);
      std::filesystem::remove(move.from);
      SyncFolder(site);
      continue;
    }
    CreateFolders(move.to.parent_path(), kServedFolderMode);
    MoveIntoPlace(move.from, move.to, move.placement);
    placed.push_back(move.to.lexically_relative(site));
  }
  std::filesystem::remove(pending / kPackagesFolderName);
  // Only the log's emptied folders are left in it.
  std::filesystem::remove_all(pending / kPendingLogFolderName);
  std::filesystem::remove(pending);
  SyncFolder(site);
  return placed;
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
  const std::filesystem::path& path() const { return path_; }
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

// The staged files need room on the site's file system; moving them into place needs none.
void RequireRoomFor(const std::filesystem::path& site, const SiteChange& change) {
  constexpr std::uint64_t kRoomToSpare = 1 << 20;  // folders, and the file system's own needs
  std::uint64_t bytes = change.descriptor.size() + change.signature.size();
  for (const std::optional<ByteBuffer>* file : {&change.site_key, &change.site_recovery_key, &change.site_log_key,
                                                &change.log_recovery_key, &change.key_switches, &change.package}) {
    bytes += *file ? (*file)->size() : 0;
  }
  for (const auto& [path, tile] : change.log_tiles) {
    bytes += tile.size();
  }
  bytes += change.checkpoint ? change.checkpoint->size() : 0;
  struct statvfs status {};
  if (::statvfs(site.c_str(), &status) == 0) {
    const std::uint64_t room = static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
    if (room < bytes + kRoomToSpare) {
      throw ToolError(site.string() + ": " + std::to_string(room) + " bytes free, and this publish writes " +
                      std::to_string(bytes) + "; nothing was published");
    }
  }
}

}  // namespace

bool PlacedBefore(const std::filesystem::path& a, const std::filesystem::path& b) {
  const auto rank = [](const std::filesystem::path& path) {
    const auto root = std::find_if(std::begin(kRootFiles), std::end(kRootFiles),
                                   [&path](const RootFile& file) { return path == file.name; });
    if (root != std::end(kRootFiles)) {
      return static_cast<int>(root - std::begin(kRootFiles));
    }
    const std::filesystem::path client(kClientFolder);
    if (path.parent_path() == client / kPackagesFolderName) {
      return 10;
    }
    if (path == std::filesystem::path(kLogFolder) / kCheckpointName) {
      return 30;
    }
    if (path == client / kDescriptorName) {
      return 40;
    }
    if (path == client / kDescriptorSignatureName) {
      return 50;
    }
    return 20;  // the log's tiles, bundles and proofs: each new, each needed before the checkpoint
  };
  const int rank_a = rank(a);
  const int rank_b = rank(b);
  return rank_a != rank_b ? rank_a < rank_b : a < b;
}

std::vector<std::filesystem::path> ApplySiteChange(const std::filesystem::path& site, const SiteChange& change,
                                                   const StepObserver& observer) {
  RequireRoomFor(site, change);
  Observe(observer, "stage");
  {
    StagingFolder staging(site / kStagingFolderName);
    for (const auto& [name, bytes] :
         {std::pair{kSiteKeyFileName, &change.site_key}, std::pair{kSiteRecoveryKeyFileName, &change.site_recovery_key},
          std::pair{kSiteLogKeyFileName, &change.site_log_key},
          std::pair{kSiteLogRecoveryKeyFileName, &change.log_recovery_key},
          std::pair{kKeySwitchesFileName, &change.key_switches}}) {
      if (*bytes) {
        staging.Write(name, **bytes);
      }
    }
    if (change.package) {
      staging.Write(std::filesystem::path(kPackagesFolderName) / change.package_name, *change.package);
    }
    for (const auto& [path, bytes] : change.log_tiles) {
      staging.Write(std::filesystem::path(kPendingLogFolderName) / path, bytes);
    }
    if (change.checkpoint) {
      staging.Write(std::filesystem::path(kPendingLogFolderName) / kCheckpointName, AsBytes(*change.checkpoint));
    }
    staging.Write(kDescriptorName, AsBytes(change.descriptor));
    staging.Write(kDescriptorSignatureName, change.signature);
    // Whatever can stop the change once decided is found now, while it can still be undone.
    if (const std::string why = WhyMovesCannotBeMade(site, ReadPending(site, staging.path())); !why.empty()) {
      throw ToolError(why + "; nothing was published");
    }
    ThrowIfInterrupted();
    Observe(observer, "commit");
    // The decision: from here on nothing stops the change, nor what reports it.
    IgnoreInterruptionsFromNowOn();
    staging.CommitAs(site / kPendingFolderName);
  }
  return CompletePending(site, observer);
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
    std::string served;
    try {
      served =
          ": version " +
          ParseUpdateDescriptor(ReadNamedFile(site / kClientFolder / kDescriptorName, kDescriptorSizeLimit)).version +
          " is served now";
    } catch (const std::exception&) {
    }
    report +=
        std::string(report.empty() ? "" : "; ") + "Completed a publish that was stopped while it took effect" + served;
  }
  return report;
}

std::string DescribeInterruptedPublish(const std::filesystem::path& site) {
  std::string description;
  if (Exists(site / kPendingFolderName)) {
    std::string why;
    try {
      why = WhyMovesCannotBeMade(site, ReadPending(site, site / kPendingFolderName));
    } catch (const ToolError& error) {
      why = error.what();
    }
    description = "a publish was stopped while it took effect and is not complete (" +
                  (site / kPendingFolderName).string() + "); " +
                  (why.empty() ? "the next publish completes it" : "it cannot be completed: " + why);
  }
  if (Exists(site / kStagingFolderName)) {
    description += std::string(description.empty() ? "" : "; ") +
                   "a publish was stopped before it took effect and left its files in " +
                   (site / kStagingFolderName).string() + "; the next publish removes them";
  }
  return description;
}

}  // namespace qvs
