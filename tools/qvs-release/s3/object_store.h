#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"
#include "tools/qvs-release/base/curl_easy.h"
#include "tools/qvs-release/s3/aws_signature.h"

namespace qvs {

// A bucket of an S3-compatible object store, and the prefix below which a site's tree goes.
struct BucketAddress {
  std::string scheme;      // "https", or "http" when the endpoint says so
  std::string host;        // the endpoint's host[:port], as the Host header names it
  bool path_style = true;  // /BUCKET/KEY on the endpoint; false: BUCKET.HOST/KEY (AWS itself)
  std::string bucket;
  std::string prefix;  // empty, or the keys' first segments without a slash at either end
  std::string region;
  std::optional<std::filesystem::path> ca_file;
  std::chrono::milliseconds request_timeout{std::chrono::minutes(5)};

  std::string Name() const;  // s3://BUCKET[/PREFIX]
  std::string Key(const std::filesystem::path& relative) const;
};

// s3://BUCKET[/PREFIX], with --endpoint URL (any S3-compatible service; HTTPS unless it says
// http://) or else AWS's endpoint of `region`. Raises UsageError.
BucketAddress ReadBucketAddress(std::string_view destination, const std::string* endpoint, std::string region);

// What a listing says of an object.
struct ListedObject {
  std::uint64_t size = 0;
  std::string etag;  // without its quotes: the MD5 of a whole-object upload, or another store's value
};

// What one PUT sets beside the body.
struct ObjectHeaders {
  std::string content_type;
  std::string cache_control;
  std::string sha256;             // recorded as x-amz-meta-qvs-sha256, so that a later upload can compare
  bool public_read = false;       // x-amz-acl: public-read
  bool only_when_absent = false;  // If-None-Match: *: an object already there is never replaced
};

// Signed requests to one bucket over one kept-alive connection. Every refusal by the store or the
// network is a ToolError naming the request and the store's own code and message, never a credential.
class ObjectStore {
 public:
  ObjectStore(BucketAddress address, AwsCredentials credentials);

  const BucketAddress& address() const { return address_; }
  std::size_t requests() const { return requests_; }

  // Every object whose key begins with `key_prefix`, by key.
  std::map<std::string, ListedObject> List(const std::string& key_prefix);
  // The SHA-256 an upload recorded on the object, or empty when it carries none.
  std::string RecordedSha256(const std::string& key);
  ByteBuffer Get(const std::string& key, std::uint64_t size_limit);
  // False when `headers.only_when_absent` and the object was there already.
  bool Put(const std::string& key, ByteView body, const ObjectHeaders& headers);

 private:
  struct Response {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // the few the client reads, by lower-case name
  };
  Response Send(const std::string& method, const std::string& key,
                const std::vector<std::pair<std::string, std::string>>& query,
                std::vector<std::pair<std::string, std::string>> headers, ByteView body, std::uint64_t size_limit);
  [[noreturn]] void Refuse(const std::string& what, const Response& response) const;

  BucketAddress address_;
  AwsCredentials credentials_;
  ScopedEasy handle_;
  std::size_t requests_ = 0;
};

}  // namespace qvs
