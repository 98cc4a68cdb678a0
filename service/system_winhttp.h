#pragma once

#include "common/system_library.h"
#include "service/winhttp_api.h"

namespace qvs {

// winhttp.dll from System32, loaded at run time so that the import table never names it. The
// library stays loaded as long as this object lives; a missing function leaves its pointer null.
class SystemWinHttp {
 public:
  SystemWinHttp() noexcept;
  SystemWinHttp(const SystemWinHttp&) = delete;
  SystemWinHttp& operator=(const SystemWinHttp&) = delete;

  const WinHttpApi& api() const noexcept { return api_; }

 private:
  SystemLibrary library_{L"winhttp.dll"};
  WinHttpApi api_;
};

}  // namespace qvs
