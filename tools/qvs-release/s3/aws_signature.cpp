#include "tools/qvs-release/s3/aws_signature.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>

#include "tools/qvs-release/base/ascii_text.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/signing.h"
#include "trust/digest_text.h"

namespace qvs {
namespace {

constexpr char kAlgorithm[] = "AWS4-HMAC-SHA256";
constexpr char kService[] = "s3";

Sha256Digest Hmac(std::string_view key, std::string_view data) {
  Sha256Digest mac{};
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
           data.size(), mac.data(), &length) == nullptr ||
      length != mac.size()) {
    throw ToolError("OpenSSL could not compute an HMAC-SHA256");
  }
  return mac;
}

std::string_view AsText(const Sha256Digest& digest) {
  return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

// A header value as signed: no leading or trailing blanks, inner runs of blanks as one space.
std::string TrimmedValue(std::string_view value) {
  std::string trimmed;
  bool blank = false;
  for (const char character : value) {
    if (character == ' ' || character == '\t') {
      blank = !trimmed.empty();
      continue;
    }
    if (blank) {
      trimmed.push_back(' ');
      blank = false;
    }
    trimmed.push_back(character);
  }
  return trimmed;
}

std::vector<std::pair<std::string, std::string>> CanonicalHeaders(const RequestToSign& request) {
  std::vector<std::pair<std::string, std::string>> headers;
  for (const auto& [name, value] : request.headers) {
    headers.emplace_back(AsciiLower(name), TrimmedValue(value));
  }
  std::sort(headers.begin(), headers.end());
  return headers;
}

std::string SignedHeaderNames(const RequestToSign& request) {
  std::string names;
  for (const auto& [name, value] : CanonicalHeaders(request)) {
    names += (names.empty() ? "" : ";") + name;
  }
  return names;
}

// ISO 8601 basic format, UTC: 20130524T000000Z.
std::string AmzDate(std::time_t now) {
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[17] = {};
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

std::string UriEncode(std::string_view text, bool keep_slash) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (std::isalnum(byte) != 0 || byte == '-' || byte == '_' || byte == '.' || byte == '~' ||
        (keep_slash && byte == '/')) {
      encoded.push_back(character);
    } else {
      encoded += {'%', kDigits[byte >> 4], kDigits[byte & 0x0F]};
    }
  }
  return encoded;
}

namespace {

// The request's canonical form, whose SHA-256 the signature covers.
std::string CanonicalRequest(const RequestToSign& request) {
  std::vector<std::pair<std::string, std::string>> query;
  for (const auto& [name, value] : request.query) {
    query.emplace_back(UriEncode(name, false), UriEncode(value, false));
  }
  std::sort(query.begin(), query.end());
  std::string text = request.method + "\n" + UriEncode(request.path, true) + "\n";
  for (std::size_t index = 0; index < query.size(); ++index) {
    text += (index == 0 ? "" : "&") + query[index].first + "=" + query[index].second;
  }
  text += "\n";
  for (const auto& [name, value] : CanonicalHeaders(request)) {
    text += name + ":" + value + "\n";
  }
  return text + "\n" + SignedHeaderNames(request) + "\n" + request.payload_sha256;
}

}  // namespace

std::vector<std::string> SignRequest(RequestToSign request, const AwsCredentials& credentials, std::string_view region,
                                     std::time_t now) {
  const std::string date_time = AmzDate(now);
  const std::string date = date_time.substr(0, 8);
  std::vector<std::string> lines = {"x-amz-date: " + date_time, "x-amz-content-sha256: " + request.payload_sha256};
  request.headers.emplace_back("x-amz-date", date_time);
  request.headers.emplace_back("x-amz-content-sha256", request.payload_sha256);
  if (!credentials.session_token.empty()) {
    request.headers.emplace_back("x-amz-security-token", credentials.session_token);
    lines.push_back("x-amz-security-token: " + credentials.session_token);
  }
  const std::string scope = date + "/" + std::string(region) + "/" + kService + "/aws4_request";
  const std::string canonical = CanonicalRequest(request);
  const std::string to_sign =
      std::string(kAlgorithm) + "\n" + date_time + "\n" + scope + "\n" + ToDigestText(Sha256Of(AsBytes(canonical)));
  Sha256Digest key = Hmac("AWS4" + credentials.secret_access_key, date);
  for (const std::string_view part : {region, std::string_view(kService), std::string_view("aws4_request")}) {
    key = Hmac(AsText(key), part);
  }
  const Sha256Digest signature = Hmac(AsText(key), to_sign);
  lines.push_back("Authorization: " + std::string(kAlgorithm) + " Credential=" + credentials.access_key_id + "/" +
                  scope + ",SignedHeaders=" + SignedHeaderNames(request) + ",Signature=" + ToHexText(signature));
  return lines;
}

}  // namespace qvs
