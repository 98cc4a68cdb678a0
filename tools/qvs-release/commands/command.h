#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qvs-release/base/command_line.h"
#include "tools/qvs-release/base/json.h"
#include "tools/qvs-release/keys/key_files.h"

namespace qvs {

inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;

// One command of the tool: its name, its help, the options and flags it takes, and what it runs.
// Each lives in a file of its own in this folder, with its printing.
struct Command {
  std::string_view name;
  std::string help;
  std::vector<std::string_view> options;
  std::vector<std::string_view> flags;
  int (*run)(const CommandArguments&);
};

// The tool's own help, which lists the commands.
extern const char kToolHelp[];
// The command of that name, or null; for another name, what to tell the user.
const Command* FindCommand(std::string_view name);
std::string UnknownCommand(std::string_view name);
// A mistake is answered with the reason and the command's usage lines, not its whole help.
std::string UsageOf(const Command& command);

Command KeygenCommand();
Command SignCommand();
Command PublishCommand();
Command VerifyCommand();
Command VerifySiteCommand();
Command CheckCommand();
Command AuditLogCommand();
Command UploadCommand();

// The private-key options shared by sign and publish, for their help.
extern const char kPrivateKeyHelp[];

void RequireNoPositionals(const CommandArguments& arguments);
// Where a protected key's passphrase or PIN comes from, and a token's module.
KeyAccess ReadKeyAccess(const CommandArguments& arguments);
// A wait behind another publish is announced once, so that it does not look like a hang.
void AnnounceWait(const std::filesystem::path& site);
// The option's value, or null when it is absent; raises UsageError for an empty one.
const std::string* NonEmptyOption(const CommandArguments& arguments, std::string_view name);

// How a command that a release pipeline runs reports: as text; with --json as one JSON object on
// stdout (the same facts; failures and warnings still on stderr, the exit status unchanged); with
// --quiet with nothing on stdout.
enum class Output { kText, kJson, kQuiet };
inline constexpr std::string_view kOutputFlags[] = {"json", "quiet"};
extern const char kOutputHelp[];
Output ReadOutput(const CommandArguments& arguments);
void PrintJson(const Json& json);

// check's run, for a command that ends with it: `arguments` as check takes them. Prints as
// `output` says, except the JSON object, which it returns.
struct ServiceCheck {
  int exit_code = 0;
  Json json;
};
ServiceCheck RunServiceCheck(const CommandArguments& arguments, Output output);

}  // namespace qvs
