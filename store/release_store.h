#pragma once

#include <filesystem>
#include <string>

namespace qvs {

// The release store's names inside the data folder.
inline constexpr wchar_t kDescriptorFileName[] = L"stable.manifest";
inline constexpr wchar_t kSignatureFileName[] = L"stable.manifest.sig";
inline constexpr wchar_t kCurrentVersionFileName[] = L"current.txt";
inline constexpr wchar_t kVersionsFolderName[] = L"versions";
inline constexpr wchar_t kHostFileName[] = L"QuorvantisSupportHost.exe";

// Resources of the update service.
inline constexpr wchar_t kDescriptorResourcePath[] = L"/downloads/client/stable.manifest";
inline constexpr wchar_t kSignatureResourcePath[] = L"/downloads/client/stable.manifest.sig";

// data folder \ "versions" \ version \ "QuorvantisSupportHost.exe", joined without normalising,
// each byte of the version widened to one code unit.
std::filesystem::path HostPath(const std::filesystem::path& data_folder, const std::string& version);

}  // namespace qvs
