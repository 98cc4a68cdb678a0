#include "tools/qvs-release/keys/verify.h"

#include <gtest/gtest.h>

#include "common/launcher_failure.h"
#include "tests/support/test_files.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

using testing::BytesOf;
using testing::ScratchFolder;
using testing::WriteBytes;

const std::filesystem::path kTestKeys = std::filesystem::path(QVS_SOURCE_DIR) / "tests" / "keys";

struct Files {
  ByteBuffer descriptor;
  ByteBuffer signature;
  ByteBuffer package;
  bool package_missing = false;
};

// A signed release of `package`, as publish writes it.
Files SignedRelease(const ByteBuffer& package) {
  const UpdateDescriptorRecord record{"4.2", "/downloads/client/packages/h.exe", package.size(),
                                      ToDigestText(Sha256Of(package))};
  const ByteBuffer descriptor = BytesOf(WriteUpdateDescriptor(record));
  const ScopedPkey key = LoadPrivateKey(kTestKeys / "test_update_key.pem");
  return {descriptor, SignDescriptor(key.get(), descriptor), package};
}

ByteBuffer SignWith(const char* key_file, const ByteBuffer& descriptor) {
  const ScopedPkey key = LoadPrivateKey(kTestKeys / key_file);
  return SignDescriptor(key.get(), descriptor);
}

// The exit code, or the failure's text.
std::string Outcome(const Files& files) {
  ScratchFolder folder;
  WriteBytes(folder / "d", files.descriptor);
  WriteBytes(folder / "s", files.signature);
  if (!files.package_missing) {
    WriteBytes(folder / "p", files.package);
  }
  try {
    return std::to_string(
        VerifyRelease(kTestKeys / "test_update_key.pub", folder / "d", folder / "s", folder / "p").exit_code);
  } catch (const std::runtime_error& failure) {
    // A file that cannot be read is named before the launcher's sentence: "PATH: sentence".
    const std::string text = failure.what();
    const std::size_t named = text.rfind(": ");
    return named == std::string::npos ? text : text.substr(named + 2);
  }
}

TEST(Verify, FollowsTheLaunchersRulesAndOrder) {
  const ByteBuffer package = BytesOf("package bytes");
  const Files good = SignedRelease(package);
  const auto with = [&](auto change) {
    Files files = good;
    change(files);
    return files;
  };
  const ByteBuffer crlf = BytesOf("QVS-SUPPORT-UPDATE-V1\nversion=1\r\n");
  const ByteBuffer padded_descriptor = [&] {
    ByteBuffer bytes = good.descriptor;
    bytes.resize(4096, '\n');  // empty lines are skipped: still a valid descriptor
    return bytes;
  }();
  struct Case {
    const char* what;
    Files files;
    std::string expected;
  };
  const Case cases[] = {
      {"matching release", good, "0"},
      {"package one byte short", with([](Files& f) { f.package.pop_back(); }), "3"},
      {"package one byte longer", with([](Files& f) { f.package.push_back('x'); }), "3"},
      {"same length, other bytes", with([](Files& f) { f.package[0] ^= 1; }), "3"},
      {"descriptor of 4096 bytes", with([&](Files& f) {
         f.descriptor = padded_descriptor;
         f.signature = SignWith("test_update_key.pem", padded_descriptor);
       }),
       "0"},
      {"descriptor of 4097 bytes", with([&](Files& f) {
         f.descriptor = padded_descriptor;
         f.descriptor.push_back('\n');
         f.signature = SignWith("test_update_key.pem", f.descriptor);
       }),
       "A release file has an invalid size."},
      {"descriptor edited after signing", with([](Files& f) { f.descriptor.push_back('\n'); }),
       "The update signature is not trusted."},
      {"signed by another key", with([](Files& f) { f.signature = SignWith("other_key.pem", f.descriptor); }),
       "The update signature is not trusted."},
      {"signature of 64 zero bytes", with([](Files& f) { f.signature.assign(64, 0); }),
       "The update signature is not trusted."},
      {"signature of 63 bytes", with([](Files& f) { f.signature.pop_back(); }),
       "The update signature has an invalid size."},
      {"signature of 65 bytes", with([](Files& f) { f.signature.push_back(0); }),
       "A release file has an invalid size."},
      {"signed malformed descriptor", with([&](Files& f) {
         f.descriptor = crlf;
         f.signature = SignWith("test_update_key.pem", crlf);
       }),
       "The update descriptor is incomplete."},
      {"missing package", with([](Files& f) { f.package_missing = true; }), "A release file could not be opened."},
      // All three files are read before the signature is looked at.
      {"missing package and bad signature", with([](Files& f) {
         f.package_missing = true;
         f.signature.assign(64, 0);
       }),
       "A release file could not be opened."},
      // The signature is checked before the descriptor is parsed.
      {"malformed descriptor, bad signature", with([](Files& f) { f.descriptor = BytesOf("junk"); }),
       "The update signature is not trusted."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Outcome(c.files), c.expected) << c.what;
  }
}

TEST(Verify, OversizedPackageFailsWhateverTheDescriptorSays) {
  Files files = SignedRelease(ByteBuffer(kPackageSizeLimit, 1));
  EXPECT_EQ(Outcome(files), "0");
  files.package.push_back(1);
  EXPECT_EQ(Outcome(files), "A release file has an invalid size.");
}

TEST(Verify, ReportsTheFileThatCouldNotBeRead) {
  ScratchFolder folder;
  try {
    VerifyRelease(kTestKeys / "test_update_key.pub", folder / "stable.manifest", folder / "s", folder / "p");
    ADD_FAILURE() << "no failure raised";
  } catch (const ToolError& error) {
    const std::string sentence = error.what();
    EXPECT_NE(sentence.find("stable.manifest"), std::string::npos) << sentence;
  }
}

}  // namespace
}  // namespace qvs
