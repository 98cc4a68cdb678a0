#pragma once

#include <curl/curl.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/scope_guard.h"
#include "tools/qvs-release/base/tool_error.h"

namespace qvs {

// What the tool's HTTP clients (the service check and the object-store upload) share of libcurl:
// its global state, its handles in scope guards, and the rule that nothing a server sends reaches
// the publisher's terminal unescaped.

// libcurl's global state, for the lifetime of a command that makes requests.
struct CurlGlobal {
  CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw ToolError("libcurl could not be initialised");
    }
  }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

using ScopedEasy = ScopedHandle<CURL*, ReleaseWith<curl_easy_cleanup>>;
using ScopedList = ScopedHandle<curl_slist*, ReleaseWith<curl_slist_free_all>>;

// Appends `line` to `list`, which owns the nodes from the first one on.
void AppendLine(ScopedList& list, const std::string& line);

void SetCurlOption(CURL* handle, CURLoption option, auto value) {
  if (curl_easy_setopt(handle, option, value) != CURLE_OK) {
    throw ToolError("libcurl refuses option " + std::to_string(static_cast<int>(option)));
  }
}

// What every transfer of the tool sets besides its request: the peer's certificate and name
// checked (against only the roots in `ca_file` when one is given), redirects not followed, bounds
// on connecting, on the whole transfer and on a stall, no signals, libcurl's reason into `error`
// (CURL_ERROR_SIZE bytes), and the body handed to `write` with `sink`.
struct TransferBounds {
  long connect_ms;
  long total_ms;
  long stall_seconds;
};
void PrepareTransfer(CURL* handle, const std::optional<std::filesystem::path>& ca_file, TransferBounds bounds,
                     char* error, curl_write_callback write, void* sink);

// `text` with every byte outside printable ASCII written as \xNN.
std::string Printable(std::string_view text);

}  // namespace qvs
