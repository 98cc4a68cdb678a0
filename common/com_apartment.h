#pragma once

#include <windows.h>
#include <objbase.h>

namespace qvs {

// COM on this thread as a single-threaded apartment for the object's lifetime, without OLE 1.0's
// DDE (as ShellExecuteExW asks of its callers). Whether it could be initialised is not examined
// (what needs COM fails on its own); only an initialisation that succeeded is paired with
// CoUninitialize.
class ComApartment {
 public:
  ComApartment() noexcept : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) {
      ::CoUninitialize();
    }
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT result_;
};

}  // namespace qvs
