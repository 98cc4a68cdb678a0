#include "tools/qvs-release/check/service_fetch.h"

#include <curl/curl.h>

#include <algorithm>
#include <string_view>

#include "common/failure_sentences.h"
#include "service/size_limit.h"
#include "tools/qvs-release/base/curl_easy.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

// The launcher's time-outs: name resolution and connection (5 s each) in one bound, and no more
// than 15 s without a received byte.
constexpr long kConnectTimeoutMs = 10000;
constexpr long kReceiveTimeoutSeconds = 15;
constexpr long kHttpOk = 200;

struct BodySink {
  CURL* handle = nullptr;
  ByteBuffer* body = nullptr;
  std::uint64_t size_limit = 0;
  bool over_limit = false;
};

// Keeps the body of a 200 within the limit; anything else ends the transfer, as the launcher stops
// at the status or at the chunk that crosses the limit.
std::size_t ReceiveBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto& sink = *static_cast<BodySink*>(context);
  const std::size_t length = size * count;
  long status = 0;
  curl_easy_getinfo(sink.handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != kHttpOk) {
    return 0;
  }
  if (ExceedsSizeLimit(sink.body->size(), length, sink.size_limit)) {
    sink.over_limit = true;
    return 0;
  }
  sink.body->insert(sink.body->end(), data, data + length);
  return length;
}

// A path as the launcher sends it: bytes above 0x7F as %XX.
std::string EscapeHighBytes(std::string_view path) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char character : path) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte <= 0x7F) {
      escaped.push_back(character);
    } else {
      escaped += {'%', kDigits[byte >> 4], kDigits[byte & 0x0F]};
    }
  }
  return escaped;
}

// The time this request may take: the per-request bound, cut to what is left before the deadline.
long RequestTimeoutMs(const ServiceAddress& service) {
  auto timeout = service.request_timeout;
  if (service.deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*service.deadline - std::chrono::steady_clock::now());
    timeout = std::max(std::chrono::milliseconds(1), std::min(timeout, left));
  }
  return static_cast<long>(timeout.count());
}

void KeepReportedHeaders(CURL* handle, ServedResource& resource) {
  for (const char* name : kReportedHeaders) {
    curl_header* header = nullptr;
    std::string joined;
    for (std::size_t index = 0; curl_easy_header(handle, name, index, CURLH_HEADER, -1, &header) == CURLHE_OK;
         ++index) {
      joined += (index == 0 ? "" : ", ") + std::string(header->value);
      if (index + 1 >= header->amount) {
        break;
      }
    }
    if (header != nullptr) {
      resource.headers.emplace(name, Printable(joined));
    }
  }
}

}  // namespace

const std::string* ServedResource::Header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? nullptr : &found->second;
}

ServedResource FetchAsLauncher(const ServiceAddress& service, const std::string& path, std::uint64_t size_limit) {
  ServedResource resource;
  resource.path = path;
  const ScopedEasy handle(curl_easy_init());
  if (!handle) {
    throw ToolError("libcurl could not start a transfer");
  }
  CURL* curl = handle.get();
  // The launcher's headers: curl's Host, then its user agent and "Connection: Keep-Alive" (curl
  // cannot put Host anywhere but first); "Accept:" keeps curl from adding its own.
  ScopedList headers;
  for (const std::string& line : {std::string("User-Agent: ") + kLauncherUserAgent,
                                  std::string("Connection: Keep-Alive"), std::string("Accept:")}) {
    AppendLine(headers, line);
  }
  BodySink sink{curl, &resource.body, size_limit};
  char error[CURL_ERROR_SIZE] = {};
  const std::string url = "https://" + service.host + EscapeHighBytes(path);

  SetCurlOption(curl, CURLOPT_URL, url.c_str());
  SetCurlOption(curl, CURLOPT_PROTOCOLS_STR, "https");
  SetCurlOption(curl, CURLOPT_PORT, 443L);
  SetCurlOption(curl, CURLOPT_PATH_AS_IS, 1L);
  SetCurlOption(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  SetCurlOption(curl, CURLOPT_HTTPGET, 1L);
  SetCurlOption(curl, CURLOPT_HTTPHEADER, headers.get());
  SetCurlOption(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  ScopedList connect_to;
  if (service.connect_to) {
    const std::string rule = service.host + ":443:" + *service.connect_to;
    AppendLine(connect_to, rule);
    SetCurlOption(curl, CURLOPT_CONNECT_TO, connect_to.get());
  }
  const long timeout_ms = RequestTimeoutMs(service);
  PrepareTransfer(curl, service.ca_file, {kConnectTimeoutMs, timeout_ms, kReceiveTimeoutSeconds}, error, ReceiveBody,
                  &sink);

  const CURLcode code = curl_easy_perform(curl);
  std::string reason = Printable(error[0] != '\0' ? error : curl_easy_strerror(code));
  if (code == CURLE_OPERATION_TIMEDOUT) {
    reason = "no complete answer within " + std::to_string((timeout_ms + 999) / 1000) +
             " s, the deadline of this request (" + reason + ")";
  } else if (code == CURLE_PEER_FAILED_VERIFICATION && !service.ca_file) {
    reason += "; a certificate from a private CA is trusted with --ca FILE";
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &resource.status);
  if (resource.status == 0) {
    resource.failure = code == CURLE_URL_MALFORMAT ? kRequestNotCreated : kRequestFailed;
    resource.detail = reason;
    return resource;
  }
  KeepReportedHeaders(curl, resource);
  if (resource.status != kHttpOk) {
    resource.failure = kUnexpectedResponse;
    resource.detail = "status " + std::to_string(resource.status);
  } else if (sink.over_limit) {
    resource.failure = kDownloadTooLarge;
    resource.detail = "more than " + std::to_string(size_limit) + " bytes";
  } else if (code != CURLE_OK) {
    resource.failure = kDownloadInterrupted;
    resource.detail = reason;
  }
  if (!resource.failure.empty()) {
    resource.body.clear();
  }
  return resource;
}

std::string FetchFailure(const ServedResource& resource) {
  return resource.path + ": " + resource.failure + (resource.detail.empty() ? "" : " (" + resource.detail + ")");
}

}  // namespace qvs
