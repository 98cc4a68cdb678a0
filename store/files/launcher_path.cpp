#include "store/files/launcher_path.h"

#include <windows.h>

#include <string>
#include <vector>

#include "common/launcher_failure.h"

namespace qvs {
namespace {

constexpr DWORD kModulePathCapacity = 32768;

// weakly_canonical keeps a relative path relative, so anchor it first.
std::filesystem::path CanonicalForm(const std::filesystem::path& path) {
  return std::filesystem::weakly_canonical(std::filesystem::absolute(path));
}

wchar_t FoldAsciiLetter(wchar_t unit) { return (unit >= L'A' && unit <= L'Z') ? unit - L'A' + L'a' : unit; }

}  // namespace

std::filesystem::path GetLauncherPath() {
  std::vector<wchar_t> buffer(kModulePathCapacity, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), kModulePathCapacity);
  if (length == 0 || length >= kModulePathCapacity) {
    throw LauncherFailure("The launcher path is unavailable.");
  }
  return std::filesystem::weakly_canonical(std::filesystem::path(std::wstring(buffer.data(), length)));
}

bool IsSameLauncherPath(const std::filesystem::path& launcher_path,
                        const std::filesystem::path& installed_launcher_path) {
  const std::wstring left = CanonicalForm(launcher_path).native();
  const std::wstring right = CanonicalForm(installed_launcher_path).native();
  if (left.size() != right.size()) {
    return false;
  }
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (FoldAsciiLetter(left[i]) != FoldAsciiLetter(right[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace qvs
