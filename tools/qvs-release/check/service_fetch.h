#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "common/byte_buffer.h"
#include "common/update_service_layout.h"

namespace qvs {

inline constexpr std::chrono::milliseconds kDefaultRequestTimeout{std::chrono::minutes(5)};

// Where the launcher's requests go: the update service host, always HTTPS on port 443, and the
// certificates to trust (the system's roots, or only those in `ca_file`).
struct ServiceAddress {
  std::string host;
  std::optional<std::filesystem::path> ca_file;
  // HOST:PORT to connect to instead of `host`'s address (a staging service, one CDN edge); the
  // request and the certificate check still name `host`.
  std::optional<std::string> connect_to;
  // No request takes longer than `request_timeout`, nor runs past `deadline` when one is set: a
  // server that drips its answer cannot keep a check running.
  std::chrono::milliseconds request_timeout = kDefaultRequestTimeout;
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// One GET as the launcher makes it, and what came back.
struct ServedResource {
  std::string path;
  long status = 0;  // 0: no response arrived
  ByteBuffer body;  // the body as sent, only for status 200 and only within the size limit
  // The response headers a publisher needs to judge caching, by their usual spelling; several
  // fields of one name are joined with ", ". Bytes outside printable ASCII are kept as \xNN, so
  // a server cannot reach the publisher's terminal with control sequences.
  std::map<std::string, std::string> headers;
  // The launcher's sentence when it would refuse this fetch, empty when it would take the body.
  std::string failure;
  std::string detail;  // why, in the transport's or the server's words

  const std::string* Header(const std::string& name) const;
};

// The header names ServedResource keeps.
inline constexpr const char* kReportedHeaders[] = {"Cache-Control", "Content-Type", "Content-Encoding", "Age",
                                                   "Expires",       "Date",         "Location",         "ETag",
                                                   "Last-Modified", "Vary"};

// Fetches `path` (bytes above 0x7F sent as %XX, as the launcher does) from the service with the
// launcher's request: a fresh TLS connection, HTTP/1.1, GET, no redirect followed, Host, its user
// agent and "Connection: Keep-Alive" and no other header (no Accept, no Accept-Encoding), the body
// taken as sent (never decompressed), status 200 only, at most `size_limit` bytes. Never raises
// for what the service does; raises ToolError only when the HTTP library itself cannot start.
ServedResource FetchAsLauncher(const ServiceAddress& service, const std::string& path, std::uint64_t size_limit);

// "PATH: the launcher's sentence (why)", for a resource whose fetch the launcher would refuse.
std::string FetchFailure(const ServedResource& resource);

}  // namespace qvs
