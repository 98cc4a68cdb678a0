#include "service/system_winhttp.h"

namespace qvs {

SystemWinHttp::SystemWinHttp() noexcept {
  api_.Open = library_.Find<decltype(::WinHttpOpen)>("WinHttpOpen");
  api_.SetTimeouts = library_.Find<decltype(::WinHttpSetTimeouts)>("WinHttpSetTimeouts");
  api_.Connect = library_.Find<decltype(::WinHttpConnect)>("WinHttpConnect");
  api_.OpenRequest = library_.Find<decltype(::WinHttpOpenRequest)>("WinHttpOpenRequest");
  api_.SetOption = library_.Find<decltype(::WinHttpSetOption)>("WinHttpSetOption");
  api_.SendRequest = library_.Find<decltype(::WinHttpSendRequest)>("WinHttpSendRequest");
  api_.ReceiveResponse = library_.Find<decltype(::WinHttpReceiveResponse)>("WinHttpReceiveResponse");
  api_.QueryHeaders = library_.Find<decltype(::WinHttpQueryHeaders)>("WinHttpQueryHeaders");
  api_.QueryDataAvailable = library_.Find<decltype(::WinHttpQueryDataAvailable)>("WinHttpQueryDataAvailable");
  api_.ReadData = library_.Find<decltype(::WinHttpReadData)>("WinHttpReadData");
  api_.CloseHandle = library_.Find<decltype(::WinHttpCloseHandle)>("WinHttpCloseHandle");
  api_.QueryAuthSchemes = library_.Find<decltype(::WinHttpQueryAuthSchemes)>("WinHttpQueryAuthSchemes");
  api_.SetCredentials = library_.Find<decltype(::WinHttpSetCredentials)>("WinHttpSetCredentials");
}

}  // namespace qvs
