#pragma once

namespace qvs {

enum class LaunchMode { kNormal, kVerification };

inline constexpr wchar_t kVerifyPackageFlag[] = L"--verify-package";

// Verification mode only when argument 1 is exactly the flag (code unit by code unit, no suffix);
// every other command line is normal mode, whose arguments are ignored.
LaunchMode ChooseLaunchMode(int argc, const wchar_t* const* argv) noexcept;

}  // namespace qvs
