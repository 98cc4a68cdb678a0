#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvs {

// AWS Signature Version 4, as S3 and the stores that speak its interface check it. Signed here with
// OpenSSL's HMAC rather than libcurl's: the payload's SHA-256 is signed (x-amz-content-sha256), and
// the query is sorted and encoded as the servers expect.

// An access key and its secret, with the session token of temporary credentials. Never printed.
struct AwsCredentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // empty for long-term keys
};

// One request before signing. `path` and the query are as the server should read them, not yet
// encoded; `headers` hold at least Host, in any case and order.
struct RequestToSign {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> query;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string payload_sha256;  // hex, lower case
};

// S3's URI encoding: unreserved characters as they are, '/' too when `keep_slash`, every other byte
// as %XX with upper-case digits.
std::string UriEncode(std::string_view text, bool keep_slash);

// The headers to send besides `request.headers`: x-amz-date, x-amz-content-sha256, the session
// token when there is one, and Authorization, as "Name: value" lines. `request.headers` must not
// hold any of them.
std::vector<std::string> SignRequest(RequestToSign request, const AwsCredentials& credentials, std::string_view region,
                                     std::time_t now);

}  // namespace qvs
