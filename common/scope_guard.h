#pragma once

#include <type_traits>
#include <utility>

namespace qvs {

// The value that means "no handle": the value-initialised one (null) for most kinds. A kind whose
// platform reports failure with another value names it in a policy of its own (see kernel_handle.h).
template <typename Handle>
struct NullIsInvalid {
  static constexpr Handle Invalid() noexcept { return Handle{}; }
};

// Releases a handle with a plain function of the platform or a library: ReleaseWith<::CloseHandle>.
template <auto Function>
struct ReleaseWith {
  template <typename Handle>
  void operator()(Handle handle) const noexcept {
    Function(handle);
  }
};

// Owns one handle and releases it with its releaser unless it holds the invalid value. The releaser
// is a plain function's ReleaseWith, or a callable chosen at run time (a function loaded from a
// DLL) given to the constructor.
template <typename Handle, typename Release, typename Invalid = NullIsInvalid<Handle>>
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle, Release release = Release{}) noexcept
      : release_(std::move(release)), handle_(handle) {}
  explicit ScopedHandle(Release release) noexcept requires(!std::is_same_v<Release, Handle>)
      : release_(std::move(release)) {}
  ~ScopedHandle() { reset(); }

  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept
      : release_(other.release_), handle_(std::exchange(other.handle_, Invalid::Invalid())) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      reset();
      release_ = other.release_;
      handle_ = std::exchange(other.handle_, Invalid::Invalid());
    }
    return *this;
  }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Invalid::Invalid(); }

  // Members of a held object pointer, e.g. a COM interface's methods.
  Handle operator->() const noexcept requires std::is_class_v<std::remove_pointer_t<Handle>> { return handle_; }

  // For out-parameters of the platform: releases what is held, then lends the slot.
  Handle* receive() noexcept {
    reset();
    return &handle_;
  }

  void reset(Handle handle = Invalid::Invalid()) noexcept {
    if (handle_ != Invalid::Invalid()) {
      release_(handle_);
    }
    handle_ = handle;
  }

 private:
  [[no_unique_address]] Release release_{};
  Handle handle_ = Invalid::Invalid();
};

// A ScopedHandle whose releaser is chosen at run time, e.g. a function loaded from a DLL:
// auto key = ScopedWith<BCRYPT_KEY_HANDLE>([&](BCRYPT_KEY_HANDLE k) { api.DestroyKey(k); });
template <typename Handle, typename Release>
ScopedHandle<Handle, Release> ScopedWith(Release release) {
  return ScopedHandle<Handle, Release>(std::move(release));
}

// Runs an action when the scope ends, on every path out of it.
template <typename Action>
class ScopeExit {
 public:
  explicit ScopeExit(Action action) noexcept : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Action action_;
};

}  // namespace qvs
