#pragma once

#include "common/scope_guard.h"

namespace qvs {

struct ComRelease {
  template <typename Interface>
  void operator()(Interface* pointer) const noexcept {
    pointer->Release();
  }
};

// A COM interface pointer released when it goes out of scope.
template <typename Interface>
using ComPtr = ScopedHandle<Interface*, ComRelease>;

}  // namespace qvs
