#pragma once

#include <windows.h>
#include <winhttp.h>

namespace qvs {

// The WinHTTP functions the update service client calls. Plain function pointers, so that a
// test can stand in for the platform; SystemWinHttp fills them from System32's winhttp.dll.
struct WinHttpApi {
  decltype(::WinHttpOpen)* Open = nullptr;
  decltype(::WinHttpSetTimeouts)* SetTimeouts = nullptr;
  decltype(::WinHttpConnect)* Connect = nullptr;
  decltype(::WinHttpOpenRequest)* OpenRequest = nullptr;
  decltype(::WinHttpSetOption)* SetOption = nullptr;
  decltype(::WinHttpSendRequest)* SendRequest = nullptr;
  decltype(::WinHttpReceiveResponse)* ReceiveResponse = nullptr;
  decltype(::WinHttpQueryHeaders)* QueryHeaders = nullptr;
  decltype(::WinHttpQueryDataAvailable)* QueryDataAvailable = nullptr;
  decltype(::WinHttpReadData)* ReadData = nullptr;
  decltype(::WinHttpCloseHandle)* CloseHandle = nullptr;
  // For a proxy that asks the user to authenticate (407).
  decltype(::WinHttpQueryAuthSchemes)* QueryAuthSchemes = nullptr;
  decltype(::WinHttpSetCredentials)* SetCredentials = nullptr;

  bool complete() const noexcept {
    return Open && SetTimeouts && Connect && OpenRequest && SetOption && SendRequest && ReceiveResponse &&
           QueryHeaders && QueryDataAvailable && ReadData && CloseHandle && QueryAuthSchemes && SetCredentials;
  }
};

}  // namespace qvs
