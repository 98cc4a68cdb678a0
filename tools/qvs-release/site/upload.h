#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qvs-release/s3/object_store.h"

namespace qvs {

// A site's served tree copied into a bucket in the order a publish places it: the objects that
// never change first (packages, the log's tiles, bundles and proofs), each only when it is missing;
// then the checkpoint; then stable.manifest and stable.manifest.sig, back to back. Nothing in the
// bucket is ever deleted, and an upload stopped anywhere is completed by running it again.

inline constexpr std::string_view kImmutableCacheControl = "public, max-age=31536000, immutable";
inline constexpr std::string_view kRevalidatedCacheControl = "no-cache";

enum class UploadAction {
  kUpload,   // missing from the bucket
  kSkip,     // there with the same bytes
  kReplace,  // a revalidated object (the checkpoint or the pair) there with other bytes
};

struct UploadObject {
  std::filesystem::path file;  // relative to the site
  std::string key;
  std::uint64_t size = 0;
  std::string_view content_type;
  std::string_view cache_control;
  bool immutable = true;
  UploadAction action = UploadAction::kUpload;
};

struct UploadPlan {
  std::filesystem::path site;
  std::vector<UploadObject> objects;      // in the order they are sent
  std::vector<std::string> not_uploaded;  // served entries that are no release file, with why
  std::uint64_t bytes_to_send = 0;
  std::size_t objects_to_send = 0;
};

// The site's release files against the bucket's listing (and, where a listing cannot tell, the
// objects themselves): what to send, what is there already. Reads the site and the bucket only.
// Raises ToolError when an object that never changes is in the bucket with other bytes, and when
// the bucket serves a longer log or (unless `allow_downgrade`) a higher version than the site: an
// old copy of a site would take every launcher back. The caller has checked the site and holds its
// lock.
UploadPlan PlanUpload(const std::filesystem::path& site, ObjectStore& store, bool allow_downgrade);

// Sends what the plan sends, in its order, calling `sent` after each object. An object that never
// changes is written only where none stands (If-None-Match: *); one that appeared since the plan
// is compared again and raises when its bytes differ.
void ApplyUpload(const UploadPlan& plan, ObjectStore& store, bool public_read,
                 const std::function<void(const UploadObject&)>& sent);

std::string_view ActionName(UploadAction action);

}  // namespace qvs
