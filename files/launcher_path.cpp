#include "files/launcher_path.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/failure_sentences.h"
#include "common/kernel_handle.h"
#include "common/launcher_failure.h"

namespace qvs {
namespace {

constexpr DWORD kModulePathCapacity = 32768;

// A file's identity on this machine: its volume's serial number and its 128-bit ID there (the
// 64-bit index of older file systems in its low half).
struct FileIdentity {
  std::uint64_t volume = 0;
  std::array<std::uint8_t, 16> id{};
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
  // No access asked and every sharing mode given: a running program, the launcher itself, opens.
  const ScopedFileHandle file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    return std::nullopt;
  }
  FileIdentity identity;
  FILE_ID_INFO id_info{};
  if (::GetFileInformationByHandleEx(file.get(), FileIdInfo, &id_info, sizeof(id_info))) {
    identity.volume = id_info.VolumeSerialNumber;
    static_assert(sizeof(id_info.FileId.Identifier) == sizeof(identity.id));
    std::copy(std::begin(id_info.FileId.Identifier), std::end(id_info.FileId.Identifier), identity.id.begin());
    return identity;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) {
    return std::nullopt;
  }
  identity.volume = info.dwVolumeSerialNumber;
  const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  for (std::size_t i = 0; i < 8; ++i) {
    identity.id[i] = static_cast<std::uint8_t>(index >> (8 * i));
  }
  return identity;
}

wchar_t FoldAsciiLetter(wchar_t unit) { return (unit >= L'A' && unit <= L'Z') ? unit - L'A' + L'a' : unit; }

bool SameSpelling(const std::filesystem::path& left_path, const std::filesystem::path& right_path) {
  const std::wstring left = std::filesystem::absolute(left_path).lexically_normal().native();
  const std::wstring right = std::filesystem::absolute(right_path).lexically_normal().native();
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

}  // namespace

std::filesystem::path GetLauncherPath() {
  std::vector<wchar_t> buffer(kModulePathCapacity, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), kModulePathCapacity);
  if (length == 0 || length >= kModulePathCapacity) {
    throw LauncherFailure(kLauncherPathUnavailable);
  }
  return std::filesystem::path(std::wstring(buffer.data(), length));
}

bool IsSameLauncherPath(const std::filesystem::path& launcher_path,
                        const std::filesystem::path& installed_launcher_path) {
  const std::optional<FileIdentity> launcher = IdentityOf(launcher_path);
  const std::optional<FileIdentity> installed = IdentityOf(installed_launcher_path);
  if (launcher && installed) {
    return *launcher == *installed;
  }
  return SameSpelling(launcher_path, installed_launcher_path);
}

}  // namespace qvs
