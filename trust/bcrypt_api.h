#pragma once

#include <windows.h>
#include <bcrypt.h>

#include "common/scope_guard.h"
#include "common/system_library.h"

namespace qvs {

// The CNG functions the launcher uses, taken from System32's bcrypt.dll at run time; a missing
// function leaves its pointer null.
struct BCryptApi {
  SystemLibrary library{L"bcrypt.dll"};
  decltype(::BCryptOpenAlgorithmProvider)* OpenAlgorithmProvider =
      library.Find<decltype(::BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
  decltype(::BCryptCloseAlgorithmProvider)* CloseAlgorithmProvider =
      library.Find<decltype(::BCryptCloseAlgorithmProvider)>("BCryptCloseAlgorithmProvider");
  decltype(::BCryptGetProperty)* GetProperty = library.Find<decltype(::BCryptGetProperty)>("BCryptGetProperty");
  decltype(::BCryptCreateHash)* CreateHash = library.Find<decltype(::BCryptCreateHash)>("BCryptCreateHash");
  decltype(::BCryptHashData)* HashData = library.Find<decltype(::BCryptHashData)>("BCryptHashData");
  decltype(::BCryptFinishHash)* FinishHash = library.Find<decltype(::BCryptFinishHash)>("BCryptFinishHash");
  decltype(::BCryptDestroyHash)* DestroyHash = library.Find<decltype(::BCryptDestroyHash)>("BCryptDestroyHash");
  decltype(::BCryptImportKeyPair)* ImportKeyPair = library.Find<decltype(::BCryptImportKeyPair)>("BCryptImportKeyPair");
  decltype(::BCryptVerifySignature)* VerifySignature =
      library.Find<decltype(::BCryptVerifySignature)>("BCryptVerifySignature");
  decltype(::BCryptDestroyKey)* DestroyKey = library.Find<decltype(::BCryptDestroyKey)>("BCryptDestroyKey");

  bool complete() const noexcept {
    return OpenAlgorithmProvider && CloseAlgorithmProvider && GetProperty && CreateHash && HashData && FinishHash &&
           DestroyHash && ImportKeyPair && VerifySignature && DestroyKey;
  }
};

// System32's bcrypt.dll and its functions, loaded at the first use and kept for the rest of the run.
const BCryptApi& SystemBCrypt();

inline bool Failed(NTSTATUS status) { return status < 0; }

}  // namespace qvs
