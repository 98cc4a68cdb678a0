#include "trust/update_descriptor.h"

#include <gtest/gtest.h>

namespace qvs {
namespace {

TEST(UpdateDescriptor, ParsesWrittenDescriptor) {
  const UpdateDescriptorRecord record{"1.2.3", "/downloads/client/packages/h.exe", 7, std::string(64, 'a')};
  const std::string text = WriteUpdateDescriptor(record);
  EXPECT_EQ(ParseUpdateDescriptor(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())), record);
}

}  // namespace
}  // namespace qvs
