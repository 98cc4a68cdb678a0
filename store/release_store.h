#pragma once

#include <filesystem>
#include <string>

#include "common/update_service_layout.h"

namespace qvs {

// The release store's names inside the data folder; the descriptor and its signature keep the
// service's names.
inline constexpr WideText kWideDescriptorName = Widen(kDescriptorName);
inline constexpr WideText kWideSignatureName = Widen(kDescriptorSignatureName);
inline constexpr const wchar_t* kDescriptorFileName = kWideDescriptorName.text;
inline constexpr const wchar_t* kSignatureFileName = kWideSignatureName.text;
inline constexpr wchar_t kCurrentVersionFileName[] = L"current.txt";
inline constexpr wchar_t kVersionsFolderName[] = L"versions";
inline constexpr wchar_t kHostFileName[] = L"QuorvantisSupportHost.exe";
// With the log check: each stored pair's proof, named as the service names it.
inline constexpr WideText kWideProofFolderName = Widen(kProofFolderName);
inline constexpr const wchar_t* kProofsFolderName = kWideProofFolderName.text;

// data folder \ "versions" \ version \ "QuorvantisSupportHost.exe", joined without normalising,
// each byte of the version widened to one code unit.
std::filesystem::path HostPath(const std::filesystem::path& data_folder, const std::string& version);

}  // namespace qvs
