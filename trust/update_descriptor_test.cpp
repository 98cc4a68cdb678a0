#include "trust/update_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/launcher_failure.h"
#include "tests/support/failure_sentence.h"

namespace qvs {
namespace {

using namespace std::string_literals;

constexpr char kFormat[] = "The update descriptor format is not supported.";
constexpr char kUnterminated[] = "The update descriptor is not newline-terminated.";
constexpr char kInvalidField[] = "The update descriptor contains an invalid field.";
constexpr char kIncomplete[] = "The update descriptor is incomplete.";
constexpr char kBadVersion[] = "The update version is invalid.";
constexpr char kBadPath[] = "The update package path is outside the trusted support origin.";
constexpr char kBadSize[] = "The update package size is invalid.";
constexpr char kBadHash[] = "The update package hash is invalid.";

const std::string kMagic = "QVS-SUPPORT-UPDATE-V1\n";
const std::string kPrefix = "/downloads/client/packages/";
const std::string kHash = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

UpdateDescriptorRecord Parse(std::string_view text) {
  return ParseUpdateDescriptor(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

using qvs::testing::SentenceOf;

// A descriptor in the publisher's layout with the given values.
std::string Descriptor(const std::string& version, const std::string& path, const std::string& size,
                       const std::string& sha256) {
  return kMagic + "version=" + version + "\npath=" + path + "\nsize=" + size + "\nsha256=" + sha256 + "\n";
}

std::string WithVersion(const std::string& version) { return Descriptor(version, kPrefix + "h.exe", "10", kHash); }
std::string WithPath(const std::string& path) { return Descriptor("1.0", path, "10", kHash); }
std::string WithSize(const std::string& size) { return Descriptor("1.0", kPrefix + "h.exe", size, kHash); }
std::string WithHash(const std::string& sha256) { return Descriptor("1.0", kPrefix + "h.exe", "10", sha256); }

std::string PathOfLength(std::size_t length) {
  std::string path = kPrefix;
  path.resize(length, 'p');
  return path;
}

struct RefusalCase {
  const char* name;
  std::string text;
  const char* sentence;
};

class RefusedDescriptor : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedDescriptor, RaisesTheSentenceOfTheFirstFault) {
  const RefusalCase& c = GetParam();
  EXPECT_EQ(SentenceOf([&] { Parse(c.text); }), c.sentence);
}

const RefusalCase kRefusals[] = {
    // The magic line.
    {"Empty", "", kFormat},
    {"MagicWithoutLf", "QVS-SUPPORT-UPDATE-V1", kFormat},
    {"MagicEndedByCrLf", "QVS-SUPPORT-UPDATE-V1\r\n" + WithVersion("1").substr(kMagic.size()), kFormat},
    {"ByteOrderMark", "\xEF\xBB\xBF" + WithVersion("1"), kFormat},
    {"LowerCaseMagic", "qvs-support-update-v1\n" + WithVersion("1").substr(kMagic.size()), kFormat},
    {"OtherFormatVersion", "QVS-SUPPORT-UPDATE-V2\n" + WithVersion("1").substr(kMagic.size()), kFormat},
    {"MagicWithTrailingText", "QVS-SUPPORT-UPDATE-V1 x\n" + WithVersion("1").substr(kMagic.size()), kFormat},
    {"LeadingEmptyLine", "\n" + WithVersion("1"), kFormat},
    {"FaultyValuesBehindBadMagic", "QVS-SUPPORT-UPDATE-V0\n" + Descriptor("x", "y", "z", "w").substr(kMagic.size()),
     kFormat},

    // Line structure.
    {"MagicLineAlone", kMagic, kIncomplete},
    {"OnlyEmptyLines", kMagic + "\n\n\n", kIncomplete},
    {"LastFieldWithoutLf", WithVersion("1").substr(0, WithVersion("1").size() - 1), kUnterminated},
    {"TrailingBytesAfterLastLf", WithVersion("1") + "x", kUnterminated},
    {"TrailingCrAfterLastLf", WithVersion("1") + "\r", kUnterminated},
    {"UnterminatedFirstLine", kMagic + "version=1", kUnterminated},
    {"UnterminatedLineWithoutEquals", kMagic + "x", kUnterminated},
    {"BadValuesBehindUnterminatedTail", Descriptor("x", "y", "z", "w") + "tail", kUnterminated},
    {"LineWithoutEquals", kMagic + "version\n", kInvalidField},
    {"LineStartingWithEquals", kMagic + "=1.0\n", kInvalidField},
    {"LineOfEqualsOnly", kMagic + "=\n", kInvalidField},
    {"LineOfOneSpace", kMagic + " \n", kInvalidField},
    {"LineOfOneCr", WithVersion("1") + "\r\n", kInvalidField},
    {"FaultyLineBeforeUnterminatedLine", kMagic + "version=1\nnoequals\npath=x", kInvalidField},
    {"DuplicateKeySameValue", WithVersion("1") + "version=1\n", kInvalidField},
    {"DuplicateKeyBeforeMissingFields", kMagic + "size=1\nsize=2\n", kInvalidField},
    {"DuplicateBeforeUnterminatedLine", kMagic + "size=1\nsize=1\nsha256", kInvalidField},
    {"DuplicateEmptyValue", kMagic + "version=\nversion=\n", kInvalidField},

    // Completeness comes before any value rule.
    {"ThreeFields", kMagic + "version=1\npath=" + kPrefix + "\nsize=1\n", kIncomplete},
    {"KeyInOtherCase", kMagic + "Version=1\npath=" + kPrefix + "\nsize=1\nsha256=" + kHash + "\n", kIncomplete},
    {"KeyWithSpaceBeforeEquals", kMagic + "version =1\npath=" + kPrefix + "\nsize=1\nsha256=" + kHash + "\n",
     kIncomplete},
    {"KeyWithCr", kMagic + "version\r=1\npath=" + kPrefix + "\nsize=1\nsha256=" + kHash + "\n", kIncomplete},
    {"FifthField", WithVersion("1") + "comment=x\n", kIncomplete},
    {"FifthFieldAndBadValues", Descriptor("x", "y", "z", "w") + "extra=1\n", kIncomplete},
    {"OtherKeyInPlaceOfOne", kMagic + "version=1\npath=" + kPrefix + "\nlength=1\nsha256=" + kHash + "\n", kIncomplete},

    // version.
    {"EmptyVersion", WithVersion(""), kBadVersion},
    {"Version33Bytes", WithVersion(std::string(33, '1')), kBadVersion},
    {"VersionWithLetter", WithVersion("1.0a"), kBadVersion},
    {"VersionWithSpace", WithVersion("1 0"), kBadVersion},
    {"VersionWithLeadingSpace", WithVersion(" 1"), kBadVersion},
    {"VersionWithPlus", WithVersion("1+2"), kBadVersion},
    {"VersionWithSlash", WithVersion("1/2"), kBadVersion},
    {"VersionWithUnderscore", WithVersion("1_2"), kBadVersion},
    {"VersionWithNul", WithVersion("1\0"s), kBadVersion},
    {"VersionWithHighByte", WithVersion("1\xB7"), kBadVersion},
    {"VersionWithEquals", WithVersion("1=2"), kBadVersion},
    {"FieldLinesEndedByCrLf",
     kMagic + "version=1.0\r\npath=" + kPrefix + "h.exe\r\nsize=10\r\nsha256=" + kHash + "\r\n", kBadVersion},

    // path: the prefix, "..", the length.
    {"PathEmpty", WithPath(""), kBadPath},
    {"PathPrefixWithoutFinalSlash", WithPath("/downloads/client/packages"), kBadPath},
    {"PathPrefixUpperCase", WithPath("/Downloads/client/packages/h.exe"), kBadPath},
    {"PathWithLeadingSpace", WithPath(" " + kPrefix + "h.exe"), kBadPath},
    {"PathWithDoubleSlash", WithPath("/" + kPrefix + "h.exe"), kBadPath},
    {"PathOtherFolder", WithPath("/downloads/client/h.exe"), kBadPath},
    {"AbsoluteUrl", WithPath("https://localhost" + kPrefix + "h.exe"), kBadPath},
    {"PathWithParentFolder", WithPath(kPrefix + "../h.exe"), kBadPath},
    {"PathWithTwoDotsInFileName", WithPath(kPrefix + "h..exe"), kBadPath},
    {"PathWithThreeDots", WithPath(kPrefix + "..."), kBadPath},
    {"PathEndingWithTwoDots", WithPath(kPrefix + "a.."), kBadPath},
    {"Path241Bytes", WithPath(PathOfLength(241)), kBadPath},
    {"Path241BytesEndingInDot", WithPath(PathOfLength(240) + "."), kBadPath},

    // size.
    {"SizeZero", WithSize("0"), kBadSize},
    {"SizeZeros", WithSize("0000"), kBadSize},
    {"SizeOneAboveLimit", WithSize("16777217"), kBadSize},
    {"SizeOneAboveLimitWithLeadingZeros", WithSize("0016777217"), kBadSize},
    {"SizeEmpty", WithSize(""), kBadSize},
    {"SizePlus", WithSize("+10"), kBadSize},
    {"SizeMinus", WithSize("-10"), kBadSize},
    {"SizeLeadingSpace", WithSize(" 10"), kBadSize},
    {"SizeTrailingSpace", WithSize("10 "), kBadSize},
    {"SizeTrailingCr", WithSize("10\r"), kBadSize},
    {"SizeHexPrefix", WithSize("0x10"), kBadSize},
    {"SizeTrailingLetter", WithSize("10a"), kBadSize},
    {"SizeDecimalPoint", WithSize("10.0"), kBadSize},
    {"SizeExponent", WithSize("1e3"), kBadSize},
    {"SizeWithNul", WithSize("10\0"s), kBadSize},
    {"SizeMaxUint64", WithSize("18446744073709551615"), kBadSize},
    {"SizeWrapsToZero", WithSize("18446744073709551616"), kBadSize},
    {"SizeWrapsToOne", WithSize("18446744073709551617"), kBadSize},
    {"SizeWrapsToTenTimesFirstDigits", WithSize("18446744073709551626"), kBadSize},
    // 2^64 * 100000 + 5: 25 digits that wrap to 5 in 64-bit arithmetic.
    {"Size25DigitsWrappingToFive", WithSize("1844674407370955161600005"), kBadSize},
    {"SizeOverflowThenTrailingByte", WithSize("99999999999999999999999x"), kBadSize},

    // sha256.
    {"HashEmpty", WithHash(""), kBadHash},
    {"Hash63Bytes", WithHash(kHash.substr(1)), kBadHash},
    {"Hash65Bytes", WithHash(kHash + "0"), kBadHash},
    {"HashUpperCase", WithHash("A" + kHash.substr(1)), kBadHash},
    {"HashAllUpperCase", WithHash("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"), kBadHash},
    {"HashLetterG", WithHash(kHash.substr(1) + "g"), kBadHash},
    {"HashTrailingCr", WithHash(kHash.substr(1) + "\r"), kBadHash},
    {"HashWithSpace", WithHash(" " + kHash.substr(1)), kBadHash},

    // The first fault in the order version, path, size, hash, whatever the order of the lines.
    {"BadVersionAndBadHash", Descriptor("v", kPrefix + "h.exe", "10", "X"), kBadVersion},
    {"AllValuesBad", Descriptor("v", "/x", "0", "X"), kBadVersion},
    {"AllValuesBadHashLineFirst", kMagic + "sha256=X\nsize=0\npath=/x\nversion=v\n", kBadVersion},
    {"BadPathAndBadSize", Descriptor("1", "/x", "0", kHash), kBadPath},
    {"BadPathAndBadSizeSizeLineFirst", kMagic + "size=0\nsha256=" + kHash + "\npath=/x\nversion=1\n", kBadPath},
    {"BadSizeAndBadHash", Descriptor("1", kPrefix, "0", "X"), kBadSize},
    {"BadSizeAndBadHashHashLineFirst", kMagic + "sha256=X\nversion=1\npath=" + kPrefix + "\nsize=0\n", kBadSize},
};

INSTANTIATE_TEST_SUITE_P(Parse, RefusedDescriptor, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

struct AcceptanceCase {
  const char* name;
  std::string text;
  UpdateDescriptorRecord record;
};

class AcceptedDescriptor : public ::testing::TestWithParam<AcceptanceCase> {};

TEST_P(AcceptedDescriptor, YieldsTheRecord) {
  const AcceptanceCase& c = GetParam();
  EXPECT_EQ(Parse(c.text), c.record);
}

const AcceptanceCase kAcceptances[] = {
    {"Typical",
     Descriptor("1.2.3", kPrefix + "host-1.2.3.exe", "123456", kHash),
     {"1.2.3", kPrefix + "host-1.2.3.exe", 123456, kHash}},
    {"Version32Bytes", WithVersion(std::string(32, '9')), {std::string(32, '9'), kPrefix + "h.exe", 10, kHash}},
    {"VersionOneDigit", WithVersion("7"), {"7", kPrefix + "h.exe", 10, kHash}},
    {"VersionOnlyDash", WithVersion("-"), {"-", kPrefix + "h.exe", 10, kHash}},
    {"VersionDotsAndDashesMixed", WithVersion("..--.-1"), {"..--.-1", kPrefix + "h.exe", 10, kHash}},
    {"VersionLeadingZeros", WithVersion("007.00"), {"007.00", kPrefix + "h.exe", 10, kHash}},
    {"PathPrefixAlone", WithPath(kPrefix), {"1.0", kPrefix, 10, kHash}},
    {"Path240Bytes", WithPath(PathOfLength(240)), {"1.0", PathOfLength(240), 10, kHash}},
    {"PathSingleDots", WithPath(kPrefix + "a.b.c/.d./."), {"1.0", kPrefix + "a.b.c/.d./.", 10, kHash}},
    {"PathAnyOtherBytes",
     WithPath(kPrefix + "a?b#c%20d\\e f\xC3\xA9\x7F\r"),
     {"1.0", kPrefix + "a?b#c%20d\\e f\xC3\xA9\x7F\r", 10, kHash}},
    {"PathKeepsEverythingAfterFirstEquals", WithPath(kPrefix + "a=b=="), {"1.0", kPrefix + "a=b==", 10, kHash}},
    {"SizeOne", WithSize("1"), {"1.0", kPrefix + "h.exe", 1, kHash}},
    {"SizeLimit", WithSize("16777216"), {"1.0", kPrefix + "h.exe", 16777216, kHash}},
    {"SizeLimitWithLeadingZeros", WithSize("0016777216"), {"1.0", kPrefix + "h.exe", 16777216, kHash}},
    // More digits than any 64-bit number has, but the number itself is small.
    {"Size40DigitsOfLeadingZeros", WithSize(std::string(38, '0') + "42"), {"1.0", kPrefix + "h.exe", 42, kHash}},
    {"HashAllF", WithHash(std::string(64, 'f')), {"1.0", kPrefix + "h.exe", 10, std::string(64, 'f')}},
    {"EmptyLinesEverywhere",
     kMagic + "\n\nversion=1\n\npath=" + kPrefix + "h\n\n\nsize=5\nsha256=" + kHash + "\n\n\n",
     {"1", kPrefix + "h", 5, kHash}},
};

INSTANTIATE_TEST_SUITE_P(Parse, AcceptedDescriptor, ::testing::ValuesIn(kAcceptances),
                         [](const ::testing::TestParamInfo<AcceptanceCase>& info) { return info.param.name; });

TEST(UpdateDescriptor, FieldsInAnyOrderGiveTheSameRecord) {
  std::array<std::string, 4> lines = {"path=" + kPrefix + "h.exe\n", "sha256=" + kHash + "\n", "size=99\n",
                                      "version=2.0\n"};
  const UpdateDescriptorRecord expected{"2.0", kPrefix + "h.exe", 99, kHash};
  int orders = 0;
  do {
    std::string text = kMagic;
    for (const std::string& line : lines) {
      text += line + "\n";  // an empty line after each field as well
    }
    EXPECT_EQ(Parse(text), expected) << text;
    ++orders;
  } while (std::next_permutation(lines.begin(), lines.end()));
  EXPECT_EQ(orders, 24);
}

// Every proper prefix of a valid descriptor is refused: none is mistaken for a complete one.
TEST(UpdateDescriptor, EveryTruncationIsRefused) {
  const std::string text = Descriptor("1.0", kPrefix + "h.exe", "10", kHash);
  for (std::size_t length = 0; length < text.size(); ++length) {
    const std::string sentence = SentenceOf([&] { Parse(std::string_view(text).substr(0, length)); });
    const char* expected = length < kMagic.size() ? kFormat : text[length - 1] != '\n' ? kUnterminated : kIncomplete;
    EXPECT_EQ(sentence, expected) << "length " << length;
  }
}

TEST(WriteUpdateDescriptor, WritesTheLayoutTheParserReads) {
  const UpdateDescriptorRecord record{"1.2.3", kPrefix + "h.exe", 7, kHash};
  EXPECT_EQ(WriteUpdateDescriptor(record),
            kMagic + "version=1.2.3\npath=" + kPrefix + "h.exe\nsize=7\nsha256=" + kHash + "\n");
}

TEST(WriteUpdateDescriptor, WhatItWritesParsesBack) {
  const UpdateDescriptorRecord records[] = {
      {"1.2.3", kPrefix + "h.exe", 7, kHash},
      {std::string(32, '.'), PathOfLength(240), 16777216, std::string(64, 'f')},
      {"-", kPrefix, 1, std::string(64, '0')},
      {"0", kPrefix + "a=b?c#d%e\\f g\xFF\r\0"s, 4096, kHash},
  };
  for (const UpdateDescriptorRecord& record : records) {
    EXPECT_EQ(Parse(WriteUpdateDescriptor(record)), record) << record.path;
  }
}

struct WriterRefusalCase {
  const char* name;
  UpdateDescriptorRecord record;
  const char* sentence;
};

class WriterRefusal : public ::testing::TestWithParam<WriterRefusalCase> {};

// The publisher can never publish what the launcher refuses: the writer raises the parser's
// sentence for the same values.
TEST_P(WriterRefusal, RaisesTheSentenceTheParserWould) {
  const WriterRefusalCase& c = GetParam();
  EXPECT_EQ(SentenceOf([&] { WriteUpdateDescriptor(c.record); }), c.sentence);
  const UpdateDescriptorRecord& r = c.record;
  EXPECT_EQ(SentenceOf([&] { Parse(Descriptor(r.version, r.path, std::to_string(r.size), r.sha256)); }), c.sentence);
}

const WriterRefusalCase kWriterRefusals[] = {
    {"EmptyVersion", {"", kPrefix, 1, kHash}, kBadVersion},
    {"Version33Bytes", {std::string(33, '1'), kPrefix, 1, kHash}, kBadVersion},
    {"VersionWithLetter", {"1.0b", kPrefix, 1, kHash}, kBadVersion},
    {"PathOutsidePrefix", {"1", "/downloads/h.exe", 1, kHash}, kBadPath},
    {"PathWithTwoDots", {"1", kPrefix + "..", 1, kHash}, kBadPath},
    {"Path241Bytes", {"1", PathOfLength(241), 1, kHash}, kBadPath},
    {"SizeZero", {"1", kPrefix, 0, kHash}, kBadSize},
    {"SizeAboveLimit", {"1", kPrefix, 16777217, kHash}, kBadSize},
    {"SizeMaxUint64", {"1", kPrefix, UINT64_MAX, kHash}, kBadSize},
    {"HashUpperCase", {"1", kPrefix, 1, std::string(64, 'A')}, kBadHash},
    {"Hash63Bytes", {"1", kPrefix, 1, std::string(63, 'a')}, kBadHash},
    {"BadVersionAndBadHash", {"x", kPrefix, 1, "x"}, kBadVersion},
    {"BadPathAndBadSize", {"1", "/x", 0, kHash}, kBadPath},
    {"BadSizeAndBadHash", {"1", kPrefix, 0, "x"}, kBadSize},
};

INSTANTIATE_TEST_SUITE_P(Write, WriterRefusal, ::testing::ValuesIn(kWriterRefusals),
                         [](const ::testing::TestParamInfo<WriterRefusalCase>& info) { return info.param.name; });

// An LF in the path would split its line; the parser can never yield such a path, so the writer
// refuses it as a path fault, in the path's place of the order.
TEST(WriteUpdateDescriptor, RefusesPathWithLineFeed) {
  EXPECT_EQ(SentenceOf([] { WriteUpdateDescriptor({"1", kPrefix + "a\nsize=5", 1, kHash}); }), kBadPath);
  EXPECT_EQ(SentenceOf([] { WriteUpdateDescriptor({"1", kPrefix + "a\n", 0, "x"}); }), kBadPath);
  EXPECT_EQ(SentenceOf([] { WriteUpdateDescriptor({"x", kPrefix + "a\n", 1, kHash}); }), kBadVersion);
}

}  // namespace
}  // namespace qvs
