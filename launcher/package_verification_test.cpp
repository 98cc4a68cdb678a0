#include "launcher/package_verification.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/launcher_failure.h"
#include "tests/support/failure_sentence.h"
#include "tests/support/test_files.h"
#include "tests/support/test_signer.h"
#include "trust/digest_text.h"
#include "trust/sha256.h"
#include "trust/update_descriptor.h"

namespace qvs {
namespace {

namespace fs = std::filesystem;
using testing::BytesOf;
using testing::SignWithTestKey;
using testing::SignWithUntrustedKey;

ByteBuffer SamplePackage() {
  ByteBuffer package(3000);
  for (std::size_t i = 0; i < package.size(); ++i) {
    package[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return package;
}

std::string DescriptorFor(ByteView package) {
  UpdateDescriptorRecord record;
  record.version = "4.2.0-17";
  record.path = "/downloads/client/packages/QuorvantisSupportHost-4.2.0-17.exe";
  record.size = package.size();
  record.sha256 = ToDigestText(ComputeSha256(package));
  return WriteUpdateDescriptor(record);
}

class PackageVerification : public ::testing::Test {
 public:
  void SetUp() override {
    package_ = SamplePackage();
    descriptor_ = BytesOf(DescriptorFor(package_));
    signature_ = SignWithTestKey(descriptor_);
  }

  void Write(const char* name, ByteView bytes) { testing::WriteBytes(folder_ / name, bytes); }

  // Writes the three files as they stand now and runs the command on them.
  int Verify() {
    Write("stable.manifest", descriptor_);
    Write("stable.manifest.sig", signature_);
    Write("host.exe", package_);
    return Run(folder_ / "stable.manifest", folder_ / "stable.manifest.sig", folder_ / "host.exe");
  }

  static int Run(const fs::path& descriptor, const fs::path& signature, const fs::path& package) {
    const wchar_t* argv[] = {L"QuorvantisSupport.exe", L"--verify-package", descriptor.c_str(), signature.c_str(),
                             package.c_str()};
    return RunPackageVerification(5, argv);
  }

  std::string FailureOfVerify() {
    return testing::SentenceOf([this] { Verify(); });
  }

  testing::ScratchFolder folder_;
  ByteBuffer descriptor_;
  ByteBuffer signature_;
  ByteBuffer package_;
};

TEST_F(PackageVerification, MatchingPackageAnswersZero) { EXPECT_EQ(Verify(), kPackageMatches); }

TEST_F(PackageVerification, DescriptorOfExactlyTheLimitIsAccepted) {
  std::string text = DescriptorFor(package_);
  text.append(kDescriptorSizeLimit - text.size(), '\n');  // empty lines are skipped by the parse
  descriptor_ = BytesOf(text);
  signature_ = SignWithTestKey(descriptor_);
  ASSERT_EQ(descriptor_.size(), kDescriptorSizeLimit);
  EXPECT_EQ(Verify(), kPackageMatches);
}

TEST_F(PackageVerification, ArgumentCountOtherThanFiveAnswersTwoWithoutReading) {
  // Every path is missing, so any read would raise instead of answering.
  const wchar_t* argv[] = {L"QuorvantisSupport.exe", L"--verify-package", L"Q:\\missing\\a",
                           L"Q:\\missing\\b",        L"Q:\\missing\\c",   L"Q:\\missing\\d"};
  for (const int argc : {1, 2, 3, 4, 6}) {
    EXPECT_EQ(RunPackageVerification(argc, argv), kVerificationUsage) << argc;
  }
  EXPECT_THROW(RunPackageVerification(5, argv), LauncherFailure);
}

TEST_F(PackageVerification, SizeOrDigestDifferenceAnswersThree) {
  const ByteBuffer original = package_;
  struct Case {
    const char* name;
    void (*change)(ByteBuffer&);
  } const cases[] = {
      {"one byte shorter", [](ByteBuffer& p) { p.pop_back(); }},
      {"one byte longer", [](ByteBuffer& p) { p.push_back(0); }},
      {"empty", [](ByteBuffer& p) { p.clear(); }},
      {"first byte changed", [](ByteBuffer& p) { p.front() ^= 1; }},
      {"last byte changed", [](ByteBuffer& p) { p.back() ^= 0x80; }},
  };
  for (const Case& c : cases) {
    package_ = original;
    c.change(package_);
    EXPECT_EQ(Verify(), kPackageMismatch) << c.name;
  }
}

TEST_F(PackageVerification, FailuresRaiseTheSentenceOfTheFirstFailingStep) {
  const ByteBuffer good_descriptor = descriptor_;
  const ByteBuffer good_signature = signature_;
  const ByteBuffer good_package = package_;
  struct Case {
    const char* name;
    void (*change)(PackageVerification&);
    const char* sentence;
  } const cases[] = {
      {"descriptor one byte over the limit",
       [](PackageVerification& t) {
         t.descriptor_.resize(kDescriptorSizeLimit + 1, '\n');
         t.signature_ = SignWithTestKey(t.descriptor_);
       },
       "A release file has an invalid size."},
      {"signature of 65 bytes", [](PackageVerification& t) { t.signature_.push_back(0); },
       "A release file has an invalid size."},
      {"signature of 63 bytes", [](PackageVerification& t) { t.signature_.pop_back(); },
       "The update signature has an invalid size."},
      {"empty signature", [](PackageVerification& t) { t.signature_.clear(); },
       "The update signature has an invalid size."},
      {"package over 16 MiB with a bad signature first",
       [](PackageVerification& t) {
         t.package_.resize(kPackageSizeLimit + 1);
         t.signature_.assign(64, 0);
       },
       "A release file has an invalid size."},
      {"descriptor edited after signing, package matching the edit",
       [](PackageVerification& t) {
         t.package_.pop_back();
         t.descriptor_ = BytesOf(DescriptorFor(t.package_));
       },
       "The update signature is not trusted."},
      {"signed by another key", [](PackageVerification& t) { t.signature_ = SignWithUntrustedKey(t.descriptor_); },
       "The update signature is not trusted."},
      {"malformed and unsigned: the signature is checked first",
       [](PackageVerification& t) { t.descriptor_ = BytesOf("QVS-SUPPORT-UPDATE-V1\nversion=x\n"); },
       "The update signature is not trusted."},
      {"malformed but signed: then the parse refuses",
       [](PackageVerification& t) {
         t.descriptor_ = BytesOf("QVS-SUPPORT-UPDATE-V1\nversion=x\n");
         t.signature_ = SignWithTestKey(t.descriptor_);
       },
       "The update descriptor is incomplete."},
  };
  for (const Case& c : cases) {
    descriptor_ = good_descriptor;
    signature_ = good_signature;
    package_ = good_package;
    c.change(*this);
    EXPECT_EQ(FailureOfVerify(), c.sentence) << c.name;
  }
}

TEST_F(PackageVerification, EveryFileIsReadBeforeAnyCheck) {
  Write("stable.manifest", descriptor_);
  Write("bad.sig", ByteBuffer(64, 0));
  EXPECT_EQ(
      testing::SentenceOf([&] { Run(folder_ / "stable.manifest", folder_ / "bad.sig", folder_ / "missing.exe"); }),
      "A release file could not be opened.");
}

}  // namespace
}  // namespace qvs
