#include "store/cached_release.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "store/release_store.h"
#include "tests/support/test_files.h"
#include "tests/support/test_signer.h"
#include "trust/digest_text.h"
#include "trust/sha256.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

using testing::BytesOf;
using testing::ScratchFolder;
using testing::SignWithTestKey;
using testing::SignWithUntrustedKey;
using testing::WriteBinaryFile;

std::string TextOf(const ByteBuffer& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A signed descriptor for `host` under `version`, as the refresh would have stored it.
struct SignedRelease {
  std::string descriptor;
  std::string signature;
};

SignedRelease SignRelease(const std::string& version, const std::string& host) {
  UpdateDescriptorRecord record;
  record.version = version;
  record.path = "/downloads/client/packages/QuorvantisSupportHost-" + version + ".exe";
  record.size = host.size();
  record.sha256 = ToDigestText(ComputeSha256(BytesOf(host)));
  const std::string descriptor = WriteUpdateDescriptor(record);
  return {descriptor, TextOf(SignWithTestKey(BytesOf(descriptor)))};
}

const std::string kVersion = "1.2.3";
const std::string kHost = std::string("MZ host bytes\r\n\x1a\0 end", 21);

void WriteStore(const std::filesystem::path& data, const std::string& version, const std::string& host) {
  const SignedRelease release = SignRelease(version, host);
  WriteBinaryFile(data / kDescriptorFileName, release.descriptor);
  WriteBinaryFile(data / kSignatureFileName, release.signature);
  WriteBinaryFile(data / kCurrentVersionFileName, version);
  WriteBinaryFile(HostPath(data, version), host);
}

TEST(SelectCachedRelease, ChecksEveryPartOfTheStore) {
  using Damage = std::function<void(const std::filesystem::path&)>;
  const auto current_is = [](std::string text) {
    return [text](const std::filesystem::path& data) { WriteBinaryFile(data / kCurrentVersionFileName, text); };
  };
  const auto host_is = [](std::string bytes) {
    return [bytes](const std::filesystem::path& data) { WriteBinaryFile(HostPath(data, kVersion), bytes); };
  };
  std::string changed_host = kHost;
  changed_host[3] ^= 0x01;

  struct Case {
    const char* name;
    Damage damage;
    bool usable;
  };
  const Case cases[] = {
      {"intact store", [](const std::filesystem::path&) {}, true},
      {"version then LF", current_is(kVersion + "\n"), true},
      {"version then CR LF and more lines", current_is(kVersion + "\r\nsecond\r\nthird"), true},
      {"version then LF and more lines", current_is(kVersion + "\n9.9.9\n"), true},
      {"trailing space", current_is(kVersion + " "), false},
      {"trailing tab", current_is(kVersion + "\t"), false},
      {"trailing lone CR", current_is(kVersion + "\r"), false},
      {"byte-order mark", current_is("\xEF\xBB\xBF" + kVersion), false},
      {"leading LF", current_is("\n" + kVersion), false},
      {"empty current.txt", current_is(""), false},
      {"other version named", current_is("1.2.4"), false},
      {"missing current.txt",
       [](const std::filesystem::path& data) { std::filesystem::remove(data / kCurrentVersionFileName); }, false},
      {"current.txt is a folder",
       [](const std::filesystem::path& data) {
         std::filesystem::remove(data / kCurrentVersionFileName);
         std::filesystem::create_directory(data / kCurrentVersionFileName);
       },
       false},
      {"signature of another release",
       [](const std::filesystem::path& data) {
         WriteBinaryFile(data / kSignatureFileName, SignRelease("1.2.4", kHost).signature);
       },
       false},
      {"signature by an untrusted key",
       [](const std::filesystem::path& data) {
         const std::string descriptor = SignRelease(kVersion, kHost).descriptor;
         WriteBinaryFile(data / kSignatureFileName, TextOf(SignWithUntrustedKey(BytesOf(descriptor))));
       },
       false},
      {"one descriptor byte changed",
       [](const std::filesystem::path& data) {
         std::string descriptor = SignRelease(kVersion, kHost).descriptor;
         descriptor[descriptor.size() - 2] = descriptor[descriptor.size() - 2] == 'a' ? 'b' : 'a';
         WriteBinaryFile(data / kDescriptorFileName, descriptor);
       },
       false},
      {"missing descriptor",
       [](const std::filesystem::path& data) { std::filesystem::remove(data / kDescriptorFileName); }, false},
      {"missing signature",
       [](const std::filesystem::path& data) { std::filesystem::remove(data / kSignatureFileName); }, false},
      {"signature one byte too long",
       [](const std::filesystem::path& data) {
         WriteBinaryFile(data / kSignatureFileName, SignRelease(kVersion, kHost).signature + "x");
       },
       false},
      {"descriptor of another version beside intact host it does not name",
       [](const std::filesystem::path& data) {
         WriteBinaryFile(data / kCurrentVersionFileName, "2.0.0");
         WriteBinaryFile(HostPath(data, "2.0.0"), kHost);
       },
       false},
      {"host with one byte changed", host_is(changed_host), false},
      {"host truncated", host_is(kHost.substr(0, kHost.size() - 1)), false},
      {"host extended", host_is(kHost + "x"), false},
      {"host missing", [](const std::filesystem::path& data) { std::filesystem::remove(HostPath(data, kVersion)); },
       false},
      {"host is a folder",
       [](const std::filesystem::path& data) {
         std::filesystem::remove(HostPath(data, kVersion));
         std::filesystem::create_directory(HostPath(data, kVersion));
       },
       false},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder;
    WriteStore(folder.path(), kVersion, kHost);
    c.damage(folder.path());
    const std::filesystem::path expected = c.usable ? HostPath(folder.path(), kVersion) : std::filesystem::path();
    EXPECT_EQ(SelectCachedRelease(folder.path()).native(), expected.native());
  }
}

TEST(SelectCachedRelease, EmptyAndMissingDataFolderGiveEmptyPath) {
  ScratchFolder folder;
  EXPECT_TRUE(SelectCachedRelease(folder.path()).empty());
  EXPECT_TRUE(SelectCachedRelease(folder.path() / L"never created").empty());
}

TEST(SelectCachedRelease, DescriptorsOfTwoRefreshesAgreeOnlyWhenIdentical) {
  // A refresh that stopped after "stable.manifest": the new descriptor beside the former signature.
  ScratchFolder folder;
  WriteStore(folder.path(), kVersion, kHost);
  const SignedRelease newer = SignRelease("1.3.0", kHost);
  WriteBinaryFile(HostPath(folder.path(), "1.3.0"), kHost);
  WriteBinaryFile(folder.path() / kDescriptorFileName, newer.descriptor);
  EXPECT_TRUE(SelectCachedRelease(folder.path()).empty());

  // Once the signature and then current.txt follow, the newer release is usable.
  WriteBinaryFile(folder.path() / kSignatureFileName, newer.signature);
  EXPECT_TRUE(SelectCachedRelease(folder.path()).empty());
  WriteBinaryFile(folder.path() / kCurrentVersionFileName, "1.3.0");
  EXPECT_EQ(SelectCachedRelease(folder.path()).native(), HostPath(folder.path(), "1.3.0").native());
}

TEST(SelectCachedRelease, AcceptsHostOfLargestSize) {
  ScratchFolder folder;
  std::string host(static_cast<std::size_t>(kPackageSizeLimit), '\0');
  for (std::size_t i = 0; i < host.size(); i += 4093) {
    host[i] = static_cast<char>(i);
  }
  WriteStore(folder.path(), kVersion, host);
  EXPECT_EQ(SelectCachedRelease(folder.path()).native(), HostPath(folder.path(), kVersion).native());
}

TEST(SelectCachedRelease, LeavesTheStoreAsItFoundIt) {
  ScratchFolder folder;
  WriteStore(folder.path(), kVersion, kHost);
  WriteBinaryFile(folder.path() / kCurrentVersionFileName, kVersion + "\r\n");
  ASSERT_FALSE(SelectCachedRelease(folder.path()).empty());
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path())) {
    (void)entry;
    ++entries;
  }
  // stable.manifest, stable.manifest.sig, current.txt, versions, versions\1.2.3, the host.
  EXPECT_EQ(entries, 6u);
  EXPECT_EQ(testing::ReadBinaryFile(folder.path() / kCurrentVersionFileName), kVersion + "\r\n");
}

}  // namespace
}  // namespace qvs
