#pragma once

#include <windows.h>
#include <winhttp.h>

namespace qvs {

// The WinHTTP functions the update service client calls, named once here: X(Open) stands for
// ::WinHttpOpen, and so on. QueryAuthSchemes and SetCredentials answer a proxy that asks the user
// to authenticate (407).
// clang-format off
#define QVS_WINHTTP_FUNCTIONS(X) \
  X(Open) X(SetTimeouts) X(Connect) X(OpenRequest) X(SetOption) X(SendRequest) X(ReceiveResponse) \
  X(QueryHeaders) X(QueryDataAvailable) X(ReadData) X(CloseHandle) X(QueryAuthSchemes) X(SetCredentials)
// clang-format on

// Those functions as plain function pointers, so that a test can stand in for the platform;
// SystemWinHttp fills them from System32's winhttp.dll.
struct WinHttpApi {
#define QVS_WINHTTP_POINTER(name) decltype(::WinHttp##name)* name = nullptr;
  QVS_WINHTTP_FUNCTIONS(QVS_WINHTTP_POINTER)
#undef QVS_WINHTTP_POINTER

  bool complete() const noexcept {
    bool all = true;
#define QVS_WINHTTP_PRESENT(name) all = all && name != nullptr;
    QVS_WINHTTP_FUNCTIONS(QVS_WINHTTP_PRESENT)
#undef QVS_WINHTTP_PRESENT
    return all;
  }
};

}  // namespace qvs
