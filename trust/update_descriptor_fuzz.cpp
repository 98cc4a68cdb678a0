#include <cstddef>
#include <cstdint>
#include <span>

#include "common/launcher_failure.h"
#include "trust/update_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    qvs::ParseUpdateDescriptor(std::span(data, size));
  } catch (const qvs::LauncherFailure&) {
  }
  return 0;
}
