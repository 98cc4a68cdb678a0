#include "tools/qvs-release/base/command_line.h"

#include <gtest/gtest.h>

#include "tools/qvs-release/base/tool_error.h"

namespace qvs {
namespace {

constexpr std::string_view kKnown[] = {"site", "version"};

CommandArguments Parse(std::vector<std::string> arguments) { return ParseCommandArguments(arguments, kKnown); }

TEST(CommandLine, ReadsBothOptionFormsAndPositionals) {
  const CommandArguments parsed = Parse({"--site", "dir", "a", "--version=1.0", "b"});
  EXPECT_EQ(parsed.Require("site"), "dir");
  EXPECT_EQ(parsed.Require("version"), "1.0");
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(parsed.help);
}

TEST(CommandLine, ValueMayLookLikeAnOptionAndDoubleDashEndsOptions) {
  const CommandArguments parsed = Parse({"--site", "--version", "--", "--site"});
  EXPECT_EQ(parsed.Require("site"), "--version");
  EXPECT_EQ(parsed.Find("version"), nullptr);
  EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"--site"}));
}

TEST(CommandLine, HelpIsAFlag) {
  EXPECT_TRUE(Parse({"--site", "x", "--help"}).help);
  EXPECT_TRUE(Parse({"-h"}).help);
}

TEST(CommandLine, RefusesWrongUse) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus", "x"},         {"--bogus"}, {"--site"},     {"--site", "a", "--site", "b"}, {"-x"},
      {"--site=a", "--site=b"}, {"--site="}, {"--site", ""},
  };
  for (const auto& arguments : cases) {
    EXPECT_THROW(Parse(arguments), UsageError) << arguments.front();
  }
}

TEST(CommandLine, RequireNamesTheMissingOption) {
  try {
    Parse({}).Require("site");
    FAIL() << "no UsageError";
  } catch (const UsageError& error) {
    EXPECT_STREQ(error.what(), "missing --site");
  }
}

}  // namespace
}  // namespace qvs
