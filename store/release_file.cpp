#include "store/release_file.h"

#include <fstream>

#include "common/failure_sentences.h"
#include "common/launcher_failure.h"

namespace qvs {

ByteBuffer ReadReleaseFile(const std::filesystem::path& path, std::uint64_t size_limit) {
  std::ifstream stream(path, std::ios::binary | std::ios::ate);
  if (!stream) {
    throw LauncherFailure(kReleaseFileNotOpened);
  }
  const std::streamoff size = stream.tellg();
  if (size < 0 || static_cast<std::uint64_t>(size) > size_limit) {
    throw LauncherFailure(kReleaseFileSizeInvalid);
  }
  ByteBuffer bytes(static_cast<std::size_t>(size));
  stream.seekg(0, std::ios::beg);
  if (size != 0) {
    stream.read(reinterpret_cast<char*>(bytes.data()), size);
    if (!stream) {
      throw LauncherFailure(kReleaseFileNotRead);
    }
  }
  return bytes;
}

}  // namespace qvs
