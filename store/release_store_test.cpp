#include "store/release_store.h"

#include <gtest/gtest.h>

#include "store/resource_path.h"

namespace qvs {
namespace {

TEST(HostPath, JoinsVersionUnnormalised) {
  struct Case {
    std::string version;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {"1.2.3", L"C:\\Data\\versions\\1.2.3\\QuorvantisSupportHost.exe"},
      {"2024-01", L"C:\\Data\\versions\\2024-01\\QuorvantisSupportHost.exe"},
      {".", L"C:\\Data\\versions\\.\\QuorvantisSupportHost.exe"},
      {"..", L"C:\\Data\\versions\\..\\QuorvantisSupportHost.exe"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostPath(L"C:\\Data", c.version).native(), c.expected) << c.version;
  }
}

TEST(ToResourcePath, WidensAsciiAndPercentEncodesHighBytes) {
  struct Case {
    std::string path;
    std::wstring expected;
  };
  const Case cases[] = {
      {"", L""},
      {"/downloads/client/packages/QuorvantisSupportHost-1.2.3.exe",
       L"/downloads/client/packages/QuorvantisSupportHost-1.2.3.exe"},
      {"/downloads/client/packages/a b%20~\x7f", L"/downloads/client/packages/a b%20~\x7f"},
      {"/downloads/client/packages/caf\xc3\xa9.exe", L"/downloads/client/packages/caf%C3%A9.exe"},
      {"/p/\x80\xff\x9a", L"/p/%80%FF%9A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToResourcePath(c.path), c.expected) << c.path;
  }
}

}  // namespace
}  // namespace qvs
