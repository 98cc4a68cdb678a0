#include "store/release_store.h"

namespace qvs {

std::filesystem::path HostPath(const std::filesystem::path& data_folder, const std::string& version) {
  std::wstring component;
  component.reserve(version.size());
  for (const char byte : version) {
    component.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
  }
  return data_folder / kVersionsFolderName / component / kHostFileName;
}

}  // namespace qvs
