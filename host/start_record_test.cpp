#include "host/start_record.h"

#include <gtest/gtest.h>

#include "common/utf8.h"

namespace qvs {
namespace {

TEST(StartRecord, ThreeTabSeparatedFieldsEndedByLf) {
  EXPECT_EQ(FormatStartRecord(LR"(C:\Users\u\Host.exe)", LR"("C:\Users\u\Host.exe")", LR"(C:\)"),
            "C:\\Users\\u\\Host.exe\t\"C:\\Users\\u\\Host.exe\"\tC:\\\n");
  EXPECT_EQ(FormatStartRecord(L"", L"", L""), "\t\t\n");
}

TEST(StartRecord, SeparatorsAndTheEscapeCharacterAreEscaped) {
  EXPECT_EQ(FormatStartRecord(L"a%b", L"x\ty\r\nz", L"%09"), "a%25b\tx%09y%0D%0Az\t%2509\n");
}

TEST(StartRecord, WritesUtf8) {
  // e-acute, the euro sign, and U+1F600 as a surrogate pair.
  EXPECT_EQ(ToUtf8(L"\u00e9\u20ac\xD83D\xDE00"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  // Unpaired surrogates, at the end and before an ordinary unit.
  EXPECT_EQ(ToUtf8(L"a\xD83D"), "a\xEF\xBF\xBD");
  EXPECT_EQ(ToUtf8(L"\xDE00z"), "\xEF\xBF\xBDz");
}

}  // namespace
}  // namespace qvs
