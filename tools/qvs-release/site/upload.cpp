#include "tools/qvs-release/site/upload.h"

#include <openssl/evp.h>

#include <algorithm>
#include <optional>
#include <system_error>

#include "common/launcher_failure.h"
#include "common/site_layout.h"
#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/publish.h"
#include "tools/qvs-release/site/site_journal.h"
#include "trust/digest_text.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

constexpr std::string_view kBinaryType = "application/octet-stream";
constexpr std::string_view kTextType = "text/plain";

// What a served file is, by where it lies; false for a file that is no part of a release.
bool Classify(const std::filesystem::path& relative, UploadObject& object) {
  const std::filesystem::path client(kClientFolder);
  const std::filesystem::path log(kLogFolder);
  object.content_type = kBinaryType;
  object.cache_control = kImmutableCacheControl;
  object.immutable = true;
  if (relative == client / kDescriptorName || relative == client / kDescriptorSignatureName ||
      relative == log / kCheckpointName) {
    object.immutable = false;
    object.cache_control = kRevalidatedCacheControl;
    object.content_type = relative == log / kCheckpointName ? kTextType : kBinaryType;
    return true;
  }
  if (relative.parent_path() == client / kPackagesFolderName) {
    return true;
  }
  const auto [end, inside] = std::mismatch(log.begin(), log.end(), relative.begin(), relative.end());
  return end == log.end() && inside != relative.end();  // the log's tiles, bundles and proofs
}

std::string Md5Text(ByteView bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    throw ToolError("OpenSSL could not compute an MD5");
  }
  return ToHexText(ByteView(digest, length));
}

ByteBuffer ReadObject(const std::filesystem::path& site, const UploadObject& object) {
  return ReadNamedFile(site / object.file, kPackageSizeLimit);
}

[[noreturn]] void RefuseChanged(const ObjectStore& store, const UploadObject& object) {
  throw ToolError(store.address().Name() + ": " + object.key + " is in the bucket with other bytes than the site's " +
                  object.file.string() +
                  "; it never changes once published, so nothing was replaced (remove it from the bucket "
                  "only if no launcher can have fetched it)");
}

// Whether the stored object holds `bytes`: by the SHA-256 an upload recorded on it, else by its bytes.
bool StoredObjectHolds(ObjectStore& store, const UploadObject& object, ByteView bytes) {
  const std::string recorded = store.RecordedSha256(object.key);
  if (!recorded.empty()) {
    return recorded == ToDigestText(Sha256Of(bytes));
  }
  const ByteBuffer stored = store.Get(object.key, kPackageSizeLimit);
  return std::equal(stored.begin(), stored.end(), bytes.begin(), bytes.end());
}

// Whether the listed object, of a size equal to the site's, holds the same bytes: by the listing's
// ETag where it is a plain MD5, else by asking for the object.
bool SameBytes(ObjectStore& store, const UploadObject& object, const ListedObject& listed, ByteView bytes) {
  const bool plain_md5 =
      listed.etag.size() == 32 && listed.etag.find_first_not_of("0123456789abcdef") == std::string::npos;
  return plain_md5 ? listed.etag == Md5Text(bytes) : StoredObjectHolds(store, object, bytes);
}

// The bucket's checkpoint and descriptor, about to be replaced, must not be ahead of the site's.
void RequireSiteNotBehind(const std::filesystem::path& site, ObjectStore& store, const UploadObject& object,
                          bool allow_downgrade) {
  const std::string behind = store.address().Name() + ": the bucket serves ";
  const std::string refused =
      ": the site " + site.string() + " is older than what it uploaded before (a stale copy?), so nothing was sent";
  if (object.file == std::filesystem::path(kLogFolder) / kCheckpointName) {
    const std::vector<LogVerifier> verifiers = ReadLogVerifiers(site / kSiteLogKeyFileName);
    const ByteBuffer stored_note = store.Get(object.key, kCheckpointSizeLimit);
    Checkpoint stored;
    try {
      stored = OpenCheckpoint(stored_note, verifiers);
    } catch (const ToolError& error) {
      throw ToolError(behind + "a checkpoint that is not this site's log (" + error.what() + "), so nothing was sent");
    }
    const Checkpoint local = OpenCheckpoint(ReadNamedFile(site / object.file, kCheckpointSizeLimit), verifiers);
    if (stored.size > local.size) {
      throw ToolError(behind + "a log of " + std::to_string(stored.size) + " entries and the site's has " +
                      std::to_string(local.size) + refused);
    }
  } else if (object.file == std::filesystem::path(kClientFolder) / kDescriptorName && !allow_downgrade) {
    const UpdateDescriptorRecord local = ParseUpdateDescriptor(ReadNamedFile(site / object.file, kDescriptorSizeLimit));
    std::optional<UpdateDescriptorRecord> stored;
    try {
      stored = ParseUpdateDescriptor(store.Get(object.key, kDescriptorSizeLimit));
    } catch (const LauncherFailure&) {
      return;  // no descriptor a launcher takes: replacing it is the repair
    }
    if (IsLowerVersion(local.version, stored->version)) {
      throw ToolError(behind + "version " + stored->version + ", higher than the site's " + local.version + refused +
                      " (--allow-downgrade uploads it all the same, and takes every launcher back)");
    }
  }
}

}  // namespace

std::string_view ActionName(UploadAction action) {
  switch (action) {
    case UploadAction::kUpload:
      return "upload";
    case UploadAction::kSkip:
      return "skip";
    case UploadAction::kReplace:
      return "replace";
  }
  return "";
}

UploadPlan PlanUpload(const std::filesystem::path& site, ObjectStore& store, bool allow_downgrade) {
  UploadPlan plan;
  plan.site = site;
  std::error_code error;
  std::filesystem::recursive_directory_iterator entries(site / kServedFolder, error);
  if (error) {
    throw ToolError((site / kServedFolder).string() + ": cannot be read: " + error.message());
  }
  for (const std::filesystem::recursive_directory_iterator end; entries != end; entries.increment(error)) {
    if (error) {
      throw ToolError((site / kServedFolder).string() + ": cannot be read: " + error.message());
    }
    const std::filesystem::file_status status = entries->symlink_status();
    const std::filesystem::path relative = entries->path().lexically_relative(site);
    if (std::filesystem::is_directory(status)) {
      continue;
    }
    UploadObject object;
    object.file = relative;
    if (!Classify(relative, object)) {
      plan.not_uploaded.push_back(relative.string() + ": no part of a release");
      continue;
    }
    if (!std::filesystem::is_regular_file(status)) {
      plan.not_uploaded.push_back(relative.string() + ": not a regular file");
      continue;
    }
    object.key = store.address().Key(relative);
    object.size = entries->file_size();
    plan.objects.push_back(std::move(object));
  }
  std::sort(plan.objects.begin(), plan.objects.end(),
            [](const UploadObject& a, const UploadObject& b) { return PlacedBefore(a.file, b.file); });

  const std::map<std::string, ListedObject> listed = store.List(store.address().Key(kServedFolder) + "/");
  for (UploadObject& object : plan.objects) {
    const auto found = listed.find(object.key);
    if (found == listed.end()) {
      object.action = UploadAction::kUpload;
    } else if (found->second.size == object.size && SameBytes(store, object, found->second, ReadObject(site, object))) {
      object.action = UploadAction::kSkip;
    } else if (object.immutable) {
      RefuseChanged(store, object);
    } else {
      RequireSiteNotBehind(site, store, object, allow_downgrade);
      object.action = UploadAction::kReplace;
    }
    if (object.action != UploadAction::kSkip) {
      plan.bytes_to_send += object.size;
      ++plan.objects_to_send;
    }
  }
  return plan;
}

void ApplyUpload(const UploadPlan& plan, ObjectStore& store, bool public_read,
                 const std::function<void(const UploadObject&)>& sent) {
  for (const UploadObject& object : plan.objects) {
    if (object.action == UploadAction::kSkip) {
      continue;
    }
    const ByteBuffer bytes = ReadObject(plan.site, object);
    if (bytes.size() != object.size) {
      throw ToolError((plan.site / object.file).string() + ": changed during the upload");
    }
    const ObjectHeaders headers{std::string(object.content_type), std::string(object.cache_control),
                                ToDigestText(Sha256Of(bytes)), public_read, object.immutable};
    if (!store.Put(object.key, bytes, headers)) {
      // Another upload placed it since the listing: fine when it is the same object.
      if (!StoredObjectHolds(store, object, bytes)) {
        RefuseChanged(store, object);
      }
    }
    if (sent) {
      sent(object);
    }
  }
}

}  // namespace qvs
