#include "tools/qvs-release/s3/object_store.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>

#include "tools/qvs-release/base/ascii_text.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/signing.h"
#include "trust/digest_text.h"

namespace qvs {
namespace {

constexpr long kConnectTimeoutMs = 10000;
constexpr long kLowSpeedSeconds = 30;
constexpr std::uint64_t kAnswerLimit = 4 << 20;  // listings and error documents
constexpr char kSha256Header[] = "x-amz-meta-qvs-sha256";
// The response headers the client reads.
constexpr const char* kKeptHeaders[] = {"ETag", kSha256Header};

struct BodySink {
  std::string* body = nullptr;
  std::uint64_t limit = 0;
  bool over_limit = false;
};

std::size_t ReceiveBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto& sink = *static_cast<BodySink*>(context);
  const std::size_t length = size * count;
  if (sink.body->size() + length > sink.limit) {
    sink.over_limit = true;
    return 0;
  }
  sink.body->append(data, length);
  return length;
}

std::string Sha256Text(ByteView bytes) { return ToDigestText(Sha256Of(bytes)); }

// The text of the first <NAME> element inside `xml` from `from` on, with XML's five entities
// decoded; `from` moves past it. Empty when there is none.
std::string Element(std::string_view xml, std::string_view name, std::size_t& from) {
  const std::string open = "<" + std::string(name) + ">";
  const std::string close = "</" + std::string(name) + ">";
  const std::size_t start = xml.find(open, from);
  if (start == std::string_view::npos) {
    from = std::string_view::npos;
    return {};
  }
  const std::size_t end = xml.find(close, start);
  if (end == std::string_view::npos) {
    from = std::string_view::npos;
    return {};
  }
  from = end + close.size();
  std::string text;
  for (std::string_view raw = xml.substr(start + open.size(), end - start - open.size()); !raw.empty();) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&quot;", '"'}, {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}};
    const auto entity = std::find_if(std::begin(kEntities), std::end(kEntities),
                                     [&raw](const auto& pair) { return raw.starts_with(pair.first); });
    if (entity != std::end(kEntities)) {
      text.push_back(entity->second);
      raw.remove_prefix(entity->first.size());
    } else {
      text.push_back(raw.front());
      raw.remove_prefix(1);
    }
  }
  return text;
}

std::string Element(std::string_view xml, std::string_view name) {
  std::size_t from = 0;
  return Element(xml, name, from);
}

std::string Unquoted(std::string etag) {
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
    etag = etag.substr(1, etag.size() - 2);
  }
  return etag;
}

bool IsHostPort(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char character) {
    return std::isalnum(character) != 0 || character == '.' || character == '-' || character == ':' ||
           character == '[' || character == ']';
  });
}

}  // namespace

std::string BucketAddress::Name() const { return "s3://" + bucket + (prefix.empty() ? "" : "/" + prefix); }

std::string BucketAddress::Key(const std::filesystem::path& relative) const {
  return (prefix.empty() ? "" : prefix + "/") + relative.generic_string();
}

BucketAddress ReadBucketAddress(std::string_view destination, const std::string* endpoint, std::string region) {
  constexpr std::string_view kScheme = "s3://";
  if (!destination.starts_with(kScheme)) {
    throw UsageError("the destination is s3://BUCKET[/PREFIX], not '" + std::string(destination) + "'");
  }
  destination.remove_prefix(kScheme.size());
  BucketAddress address;
  const std::size_t slash = destination.find('/');
  address.bucket = std::string(destination.substr(0, slash));
  std::string prefix = slash == std::string_view::npos ? std::string() : std::string(destination.substr(slash + 1));
  while (!prefix.empty() && prefix.back() == '/') {
    prefix.pop_back();
  }
  address.prefix = prefix;
  // S3's bucket names: 3 to 63 lower-case letters, digits, dots and dashes.
  if (address.bucket.size() < 3 || address.bucket.size() > 63 ||
      !std::all_of(address.bucket.begin(), address.bucket.end(), [](unsigned char character) {
        return std::islower(character) != 0 || std::isdigit(character) != 0 || character == '.' || character == '-';
      })) {
    throw UsageError("'" + address.bucket +
                     "' is not a bucket name (3 to 63 lower-case letters, digits, dots and dashes)");
  }
  if (prefix.starts_with('/') || prefix.find("//") != std::string::npos ||
      std::any_of(prefix.begin(), prefix.end(),
                  [](unsigned char character) { return character < 0x21 || character > 0x7E; })) {
    throw UsageError("the prefix '" + prefix + "' needs printable characters and one slash between its segments");
  }
  address.region = region.empty() ? "us-east-1" : std::move(region);
  if (endpoint == nullptr) {
    // AWS itself, whose newer buckets take their name in the host.
    address.scheme = "https";
    address.host = "s3." + address.region + ".amazonaws.com";
    address.path_style = false;
    return address;
  }
  std::string_view url = *endpoint;
  if (url.starts_with("https://")) {
    address.scheme = "https";
    url.remove_prefix(8);
  } else if (url.starts_with("http://")) {
    address.scheme = "http";
    url.remove_prefix(7);
  } else {
    address.scheme = "https";
  }
  while (url.ends_with('/')) {
    url.remove_suffix(1);
  }
  if (!IsHostPort(url)) {
    throw UsageError("--endpoint is [https://]HOST[:PORT] of an S3-compatible service, not '" + *endpoint + "'");
  }
  address.host = std::string(url);
  return address;
}

ObjectStore::ObjectStore(BucketAddress address, AwsCredentials credentials)
    : address_(std::move(address)), credentials_(std::move(credentials)), handle_(curl_easy_init()) {
  if (!handle_) {
    throw ToolError("libcurl could not start a transfer");
  }
}

ObjectStore::Response ObjectStore::Send(const std::string& method, const std::string& key,
                                        const std::vector<std::pair<std::string, std::string>>& query,
                                        std::vector<std::pair<std::string, std::string>> headers, ByteView body,
                                        std::uint64_t size_limit) {
  const std::string host = address_.path_style ? address_.host : address_.bucket + "." + address_.host;
  const std::string path = address_.path_style ? "/" + address_.bucket + (key.empty() ? "" : "/" + key) : "/" + key;
  headers.emplace_back("Host", host);
  const std::vector<std::string> signed_lines =
      SignRequest({method, path, query, headers, Sha256Text(body)}, credentials_, address_.region, std::time(nullptr));

  CURL* curl = handle_.get();
  curl_easy_reset(curl);  // the connection stays in the handle's cache
  ScopedList lines;
  for (const auto& [name, value] : headers) {
    if (name != "Host") {
      AppendLine(lines, name + ": " + value);
    }
  }
  for (const std::string& line : signed_lines) {
    AppendLine(lines, line);
  }
  AppendLine(lines, "User-Agent: qvs-release");  // for the store's request log
  for (const char* line : {"Accept:", "Expect:", "Content-Type:"}) {
    if (std::none_of(headers.begin(), headers.end(),
                     [line](const auto& header) { return AsciiLower(header.first + ":") == AsciiLower(line); })) {
      AppendLine(lines, line);  // none of curl's own
    }
  }
  std::string url = address_.scheme + "://" + host + UriEncode(path, true);
  for (std::size_t index = 0; index < query.size(); ++index) {
    url +=
        (index == 0 ? "?" : "&") + UriEncode(query[index].first, false) + "=" + UriEncode(query[index].second, false);
  }
  Response response;
  BodySink sink{&response.body, size_limit};
  char error[CURL_ERROR_SIZE] = {};
  SetCurlOption(curl, CURLOPT_URL, url.c_str());
  SetCurlOption(curl, CURLOPT_PROTOCOLS_STR, address_.scheme.c_str());
  SetCurlOption(curl, CURLOPT_PATH_AS_IS, 1L);
  SetCurlOption(curl, CURLOPT_HTTPHEADER, lines.get());
  PrepareTransfer(curl, address_.ca_file,
                  {kConnectTimeoutMs, static_cast<long>(address_.request_timeout.count()), kLowSpeedSeconds}, error,
                  ReceiveBody, &sink);
  if (method == "HEAD") {
    SetCurlOption(curl, CURLOPT_NOBODY, 1L);
  } else if (method == "PUT") {
    SetCurlOption(curl, CURLOPT_CUSTOMREQUEST, "PUT");
    SetCurlOption(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(body.data()));
    SetCurlOption(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  } else {
    SetCurlOption(curl, CURLOPT_HTTPGET, 1L);
  }
  ++requests_;
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && sink.over_limit)) {
    const std::string reason = Printable(error[0] != '\0' ? error : curl_easy_strerror(code));
    throw ToolError(method + " " + address_.scheme + "://" + host + path + ": no answer from the object store (" +
                    reason +
                    (code == CURLE_PEER_FAILED_VERIFICATION && !address_.ca_file
                         ? "; a certificate from a private CA is trusted with --ca FILE"
                         : "") +
                    ")");
  }
  if (sink.over_limit) {
    throw ToolError(method + " " + key + ": the object store's answer is larger than " + std::to_string(size_limit) +
                    " bytes");
  }
  for (const char* name : kKeptHeaders) {
    curl_header* header = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) == CURLHE_OK) {
      response.headers.emplace(AsciiLower(name), header->value);
    }
  }
  return response;
}

void ObjectStore::Refuse(const std::string& what, const Response& response) const {
  const std::string code = Printable(Element(response.body, "Code"));
  const std::string message = Printable(Element(response.body, "Message"));
  const std::string reason = "status " + std::to_string(response.status) + (code.empty() ? "" : " " + code) +
                             (message.empty() ? "" : ": " + message);
  if (code == "NoSuchBucket" || (response.status == 404 && what.starts_with("list"))) {
    throw ToolError(address_.Name() + ": the object store at " + address_.host + " has no bucket '" + address_.bucket +
                    "' (" + reason + ")");
  }
  if (code == "InvalidAccessKeyId" || code == "SignatureDoesNotMatch" || code == "InvalidToken" ||
      code == "ExpiredToken" || code == "AuthorizationHeaderMalformed") {
    throw ToolError(address_.Name() + ": the object store refused the credentials (" + reason + ")");
  }
  if (response.status == 403) {
    throw ToolError(address_.Name() + ": the object store refused to " + what + " (" + reason +
                    "): the credentials may not do it, or the bucket's policy forbids it");
  }
  throw ToolError(address_.Name() + ": the object store could not " + what + " (" + reason + ")");
}

std::map<std::string, ListedObject> ObjectStore::List(const std::string& key_prefix) {
  std::map<std::string, ListedObject> objects;
  std::string token;
  do {
    std::vector<std::pair<std::string, std::string>> query = {{"list-type", "2"}, {"prefix", key_prefix}};
    if (!token.empty()) {
      query.emplace_back("continuation-token", token);
    }
    const Response response = Send("GET", "", query, {}, {}, kAnswerLimit);
    if (response.status != 200) {
      Refuse("list the objects below " + key_prefix, response);
    }
    for (std::size_t from = 0; from != std::string::npos;) {
      const std::string contents = Element(response.body, "Contents", from);
      if (from == std::string::npos) {
        break;
      }
      ListedObject object;
      const std::string size = Element(contents, "Size");
      std::from_chars(size.data(), size.data() + size.size(), object.size);
      object.etag = Unquoted(Element(contents, "ETag"));
      objects.emplace(Element(contents, "Key"), std::move(object));
    }
    token = Element(response.body, "IsTruncated") == "true" ? Element(response.body, "NextContinuationToken") : "";
  } while (!token.empty());
  return objects;
}

std::string ObjectStore::RecordedSha256(const std::string& key) {
  const Response response = Send("HEAD", key, {}, {}, {}, kAnswerLimit);
  if (response.status != 200) {
    Refuse("read " + key, response);
  }
  const auto found = response.headers.find(kSha256Header);
  return found == response.headers.end() ? std::string() : AsciiLower(found->second);
}

ByteBuffer ObjectStore::Get(const std::string& key, std::uint64_t size_limit) {
  const Response response = Send("GET", key, {}, {}, {}, size_limit);
  if (response.status != 200) {
    Refuse("read " + key, response);
  }
  return ByteBuffer(response.body.begin(), response.body.end());
}

bool ObjectStore::Put(const std::string& key, ByteView body, const ObjectHeaders& object) {
  std::vector<std::pair<std::string, std::string>> headers = {
      {"Content-Type", object.content_type}, {"Cache-Control", object.cache_control}, {kSha256Header, object.sha256}};
  if (object.public_read) {
    headers.emplace_back("x-amz-acl", "public-read");
  }
  if (object.only_when_absent) {
    headers.emplace_back("If-None-Match", "*");
  }
  const Response response = Send("PUT", key, {}, headers, body, kAnswerLimit);
  if (response.status == 412 && object.only_when_absent) {
    return false;
  }
  if (response.status != 200) {
    Refuse("write " + key, response);
  }
  return true;
}

}  // namespace qvs
