#include "launcher/launch_mode.h"

#include <string_view>

namespace qvs {

LaunchMode ChooseLaunchMode(int argc, const wchar_t* const* argv) noexcept {
  if (argc >= 2 && argv != nullptr && argv[1] != nullptr && std::wstring_view(argv[1]) == kVerifyPackageFlag) {
    return LaunchMode::kVerification;
  }
  return LaunchMode::kNormal;
}

}  // namespace qvs
