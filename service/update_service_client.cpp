#include "service/update_service_client.h"

#include "build_config.h"
#include "common/failure_sentences.h"
#include "common/launcher_failure.h"
#include "common/scope_guard.h"
#include "common/update_service_layout.h"
#include "service/size_limit.h"
#include "service/system_winhttp.h"

namespace qvs {
namespace {

constexpr WideText kUserAgent = Widen(kLauncherUserAgent);

constexpr int kResolveTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 10000;
constexpr int kReceiveTimeoutMs = 15000;
constexpr INTERNET_PORT kHttpsPort = 443;
constexpr DWORD kHttpOk = 200;
constexpr DWORD kProxyAuthenticationRequired = 407;

DWORD StatusOf(const WinHttpApi& api, HINTERNET request) {
  DWORD status = 0;
  DWORD status_length = sizeof(status);
  if (!api.QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &status_length, WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return status;
}

// A proxy that wants the user authenticated (407) gets one more request with the user's own logon
// (null names: the default credentials), for the first scheme that can carry them that the proxy
// offers. False when it offers none of them (Basic or Digest would need a name and a password the
// launcher never asks for).
bool AnswerProxyWithDefaultCredentials(const WinHttpApi& api, HINTERNET request) {
  DWORD supported = 0;
  DWORD first = 0;
  DWORD target = 0;
  if (!api.QueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY) {
    return false;
  }
  for (const DWORD scheme : {DWORD{WINHTTP_AUTH_SCHEME_NEGOTIATE}, DWORD{WINHTTP_AUTH_SCHEME_NTLM}}) {
    if ((supported & scheme) != 0) {
      return api.SetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != FALSE;
    }
  }
  return false;
}

}  // namespace

ResponseBody FetchUpdateResource(const WinHttpApi& api, const wchar_t* host, const std::wstring& resource_path,
                                 std::uint64_t size_limit) {
  if (!api.complete()) {
    throw LauncherFailure("The Windows HTTP service is unavailable.");
  }
  const auto close = [&api](HINTERNET handle) { api.CloseHandle(handle); };

  // Declared in this order so that they close request, connection, session on every path.
  auto session = ScopedWith<HINTERNET>(close);
  auto connection = ScopedWith<HINTERNET>(close);
  auto request = ScopedWith<HINTERNET>(close);

  *session.receive() =
      api.Open(kUserAgent.text, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session.get() == nullptr) {
    throw LauncherFailure("The Windows HTTP service is unavailable.");
  }
  api.SetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
  // Wine does not bound the wait for response headers by the receive time-out alone.
  DWORD response_timeout = kReceiveTimeoutMs;
  api.SetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout, sizeof(response_timeout));

  *connection.receive() = api.Connect(session.get(), host, kHttpsPort, 0);
  if (connection.get() == nullptr) {
    throw LauncherFailure(kServiceUnreachable);
  }

  *request.receive() = api.OpenRequest(connection.get(), L"GET", resource_path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
  if (request.get() == nullptr) {
    throw LauncherFailure(kRequestNotCreated);
  }
  DWORD redirect_policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  api.SetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirect_policy, sizeof(redirect_policy));

  const auto send = [&] {
    if (!api.SendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !api.ReceiveResponse(request.get(), nullptr)) {
      throw LauncherFailure(kRequestFailed);
    }
  };
  send();
  DWORD status = StatusOf(api, request.get());
  if (status == kProxyAuthenticationRequired && AnswerProxyWithDefaultCredentials(api, request.get())) {
    send();
    status = StatusOf(api, request.get());
  }
  if (status != kHttpOk) {
    throw LauncherFailure(kUnexpectedResponse);
  }

  ResponseBody body(size_limit);
  for (;;) {
    DWORD available = 0;
    if (!api.QueryDataAvailable(request.get(), &available)) {
      throw LauncherFailure(kDownloadInterrupted);
    }
    if (available == 0) {
      return body;
    }
    if (ExceedsSizeLimit(body.size(), available, size_limit)) {
      throw LauncherFailure(kDownloadTooLarge);
    }
    // Read straight into the body's new tail; what was there before is never looked at. The bytes
    // announced may arrive over several reads; a read of none ends them (the body is complete).
    std::uint8_t* const tail = body.Extend(available);
    DWORD received = 0;
    while (received < available) {
      DWORD read = 0;
      if (!api.ReadData(request.get(), tail + received, available - received, &read) || read > available - received) {
        throw LauncherFailure(kDownloadIncomplete);
      }
      if (read == 0) {
        break;
      }
      received += read;
    }
    body.Shorten(available - received);
  }
}

ResponseBody FetchUpdateResource(const std::wstring& resource_path, std::uint64_t size_limit) {
  // Loaded at the first fetch and kept for the run's other fetches.
  static const SystemWinHttp winhttp;
  return FetchUpdateResource(winhttp.api(), kUpdateServiceHost, resource_path, size_limit);
}

}  // namespace qvs
