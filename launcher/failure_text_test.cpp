#include "launcher/failure_text.h"

#include <windows.h>
#include <gtest/gtest.h>

#include "launcher/error_dialog.h"

namespace qvs {
namespace {

TEST(DecodeFailureText, AsciiMapsByteForByte) {
  EXPECT_EQ(DecodeFailureText(""), L"");
  EXPECT_EQ(DecodeFailureText("The update signature is not trusted."), L"The update signature is not trusted.");
  EXPECT_EQ(DecodeFailureText("tab\there\r\nline \x7F"), L"tab\there\r\nline \x7F");
}

TEST(DecodeFailureText, ValidUtf8IsDecoded) {
  struct Case {
    const char* utf8;
    const wchar_t* expected;
  } const cases[] = {
      {"remove: C:\\Users\\J\xC3\xA9r\xC3\xB4me", L"remove: C:\\Users\\J\u00e9r\u00f4me"},
      {"\xE2\x82\xAC 5", L"\u20ac 5"},
      {"\xE6\x96\x87\xE4\xBB\xB6", L"\u6587\u4ef6"},
      {"\xEF\xBF\xBF", L"\uffff"},
      {"emoji \xF0\x9F\x98\x80.", L"emoji \xD83D\xDE00."},
      {"max \xF4\x8F\xBF\xBF", L"max \xDBFF\xDFFF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeFailureText(c.utf8), c.expected) << c.utf8;
  }
}

TEST(IsValidUtf8, RefusesEveryIllFormedSequence) {
  struct Case {
    const char* text;
    bool valid;
  } const cases[] = {
      {"plain", true},
      {"\xC2\x80", true},
      {"\xDF\xBF", true},
      {"\xE0\xA0\x80", true},
      {"\xED\x9F\xBF", true},
      {"\xEE\x80\x80", true},
      {"\xF0\x90\x80\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\x80", false},              // lone continuation byte
      {"\xC3", false},              // truncated at the end
      {"\xC3(", false},             // truncated by an ASCII byte
      {"\xE2\x82", false},          // truncated three-byte sequence
      {"\xC0\xAF", false},          // overlong slash
      {"\xC1\xBF", false},          // overlong
      {"\xE0\x9F\xBF", false},      // overlong three-byte form
      {"\xF0\x8F\xBF\xBF", false},  // overlong four-byte form
      {"\xED\xA0\x80", false},      // high surrogate
      {"\xED\xBF\xBF", false},      // low surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xFE", false},
      {"\xFF", false},
      {"J\xE9r\xF4me", false},  // an ANSI (Windows-1252) path
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.text), c.valid) << c.text;
  }
}

TEST(DecodeFailureText, InvalidUtf8IsDecodedInTheAnsiCodePage) {
  if (::GetACP() != 1252) {
    GTEST_SKIP() << "expected values are those of Windows-1252; ANSI code page is " << ::GetACP();
  }
  EXPECT_EQ(DecodeFailureText("remove: C:\\J\xE9r\xF4me"), L"remove: C:\\J\u00e9r\u00f4me");
  EXPECT_EQ(DecodeFailureText("\x80 and \xC3"), L"\u20ac and \u00c3");
  // One invalid sequence sends the whole text to the code page, valid UTF-8 parts included.
  EXPECT_EQ(DecodeFailureText("\xC3\xA9\xE9"), L"\u00c3\u00a9\u00e9");
}

TEST(ErrorDialogText, PutsTheSentenceAndAnEmptyLineBeforeTheFailure) {
  EXPECT_EQ(ErrorDialogText("The attended support host could not be started."),
            L"Quorvantis Support could not start securely.\n\nThe attended support host could not be started.");
  EXPECT_EQ(ErrorDialogText("copy_file: D:\\\xC3\xA9t\xC3\xA9"),
            L"Quorvantis Support could not start securely.\n\ncopy_file: D:\\\u00e9t\u00e9");
}

}  // namespace
}  // namespace qvs
