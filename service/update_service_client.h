#pragma once

#include <cstdint>
#include <string>

#include "service/response_body.h"
#include "service/winhttp_api.h"

namespace qvs {

// One HTTPS GET of `resource_path` on the update service host (port 443, no redirects, status
// 200 only); returns the whole body, at most `size_limit` bytes. Raises LauncherFailure.
ResponseBody FetchUpdateResource(const std::wstring& resource_path, std::uint64_t size_limit);

// The same fetch through the given functions and host; FetchUpdateResource passes System32's
// WinHTTP and the built-in host.
ResponseBody FetchUpdateResource(const WinHttpApi& api, const wchar_t* host, const std::wstring& resource_path,
                                 std::uint64_t size_limit);

}  // namespace qvs
