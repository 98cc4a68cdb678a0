#include "tools/qvs-release/keys/verify.h"

#include <iostream>
#include <string>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/commands/command.h"

namespace qvs {
namespace {

constexpr char kVerifyHelp[] =
    "Usage: qvs-release verify --public-key FILE DESCRIPTOR SIGNATURE PACKAGE\n"
    "\n"
    "Checks three files by the launcher's rules and answers like 'QuorvantisSupport.exe\n"
    "--verify-package': exit 0 the package matches, 3 it does not, 2 wrong arguments, 1 anything\n"
    "else (unreadable or oversized file, untrusted signature, malformed descriptor), with the\n"
    "reason on stderr. FILE is the 72-byte public key blob.\n";

int RunVerify(const CommandArguments& arguments) {
  // As the launcher, wrong arguments answer 2 before any file is read.
  if (arguments.positionals.size() != 3) {
    throw UsageError("expected DESCRIPTOR SIGNATURE PACKAGE, got " + std::to_string(arguments.positionals.size()) +
                     " paths");
  }
  const VerificationResult result = VerifyRelease(arguments.Require("public-key"), arguments.positionals[0],
                                                  arguments.positionals[1], arguments.positionals[2]);
  (result.exit_code == kPackageMatches ? std::cout : std::cerr) << result.report << "\n";
  return result.exit_code;
}

}  // namespace

Command VerifyCommand() { return {"verify", kVerifyHelp, {"public-key"}, {}, RunVerify}; }

}  // namespace qvs
