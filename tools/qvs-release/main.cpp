// qvs-release: the publisher's tool. Makes the update-signing key, signs descriptors, lays out the
// static tree the update service serves, and checks a release by the launcher's own rules. Each
// command lives in commands/; this file finds it and reports how it ended.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "tools/qvs-release/base/interruption.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/commands/command.h"
#include "tools/qvs-release/tool_version.h"

namespace qvs {
namespace {

int Run(std::span<const std::string> arguments) {
  if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h" || arguments[0] == "help") {
    (arguments.empty() ? std::cerr : std::cout) << kToolHelp;
    return arguments.empty() ? kUsage : kSuccess;
  }
  if (arguments[0] == "--version") {
    // Recorded with every release, so that it is known which tool signed it.
    std::cout << "qvs-release " << kToolVersion
              << (kToolCommit[0] != '\0' ? std::string(" (commit ") + kToolCommit + ")" : std::string()) << "\n";
    return kSuccess;
  }
  const Command* command = FindCommand(arguments[0]);
  if (command == nullptr) {
    std::cerr << UnknownCommand(arguments[0]);
    return kUsage;
  }
  const std::string prefix = "qvs-release " + std::string(command->name) + ": ";
  try {
    const CommandArguments parsed = ParseCommandArguments(arguments.subspan(1), command->options, command->flags);
    if (parsed.help) {
      std::cout << command->help;
      return kSuccess;
    }
    return command->run(parsed);
  } catch (const Interrupted& interrupted) {
    std::cerr << prefix << interrupted.what() << "; this release was not published\n";
    std::fflush(stdout);
    EndBySignal(interrupted.signal_number());
    return kFailure;
  } catch (const UsageError& error) {
    std::cerr << prefix << error.what() << "\n\n" << UsageOf(*command);
    return kUsage;
  } catch (const std::exception& error) {
    // Launcher sentences, the tool's own messages and file-system errors alike.
    std::cerr << prefix << error.what() << "\n";
    return kFailure;
  }
}

}  // namespace
}  // namespace qvs

int main(int argc, char** argv) {
  // This process may hold the private key that every launcher trusts, decrypted: it never goes
  // into a core dump, and no other process of the same user may read its memory (ptrace).
  const rlimit no_core{0, 0};
  if (::setrlimit(RLIMIT_CORE, &no_core) != 0 || ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    std::perror("qvs-release: cannot keep the key out of core dumps");
    return 1;
  }
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const int status = qvs::Run(arguments);
  // A failed write to stdout (a full disk, a closed pipe) must not pass for success.
  if (std::fflush(stdout) != 0 && status == 0) {
    return 1;
  }
  return status;
}
