#include "tools/qvs-release/site/verify_site.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/commands/command.h"

namespace qvs {
namespace {

constexpr char kVerifySiteHelp[] =
    "Usage: qvs-release verify-site [--public-key FILE] [--json | --quiet] DIR\n"
    "\n"
    "Checks that the site DIR serves a consistent release: no publish was left unfinished, and\n"
    "downloads/client/stable.manifest, its signature and the package it names pass the launcher's\n"
    "checks with the site's key (DIR/qvs-site-key.pub, or FILE, which must then be the same key).\n"
    "Waits for a publish that is running. Exit codes as 'verify': 0 consistent, 3 the package does\n"
    "not match, 2 wrong arguments, 1 anything else, with the reason on stderr.\n"
    "\n";

int RunVerifySite(const CommandArguments& arguments) {
  if (arguments.positionals.size() != 1) {
    throw UsageError("expected one site folder, got " + std::to_string(arguments.positionals.size()) + " paths");
  }
  const std::filesystem::path site = arguments.positionals[0];
  const std::string* public_key = arguments.Find("public-key");
  const Output output = ReadOutput(arguments);
  const SiteVerification found =
      VerifySite(site, public_key ? *public_key : std::string(), std::chrono::minutes(2), [&] { AnnounceWait(site); });
  if (found.exit_code != kPackageMatches) {
    std::cerr << found.report << "\n";
  } else if (output == Output::kText) {
    std::cout << found.report << "\n";
  }
  if (output == Output::kJson) {
    const auto or_null = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
    Json json = Json::Object();
    json.Set("site", site.string())
        .Set("consistent", found.exit_code == kPackageMatches)
        .Set("version", found.record.version)
        .Set("path", found.record.path)
        .Set("size", found.record.size)
        .Set("sha256", found.record.sha256)
        .Set("log_entry", found.log_entry ? Json(*found.log_entry) : Json())
        .Set("log_origin", or_null(found.log_origin))
        .Set("update_key", found.update_key)
        .Set("recovery_key", or_null(found.recovery_key))
        .Set("launchers_log_key", or_null(found.launchers_log_key))
        .Set("log_recovery_key", or_null(found.log_recovery_key))
        .Set("key_switches", JsonStrings(found.switches));
    PrintJson(json);
  }
  return found.exit_code;
}

}  // namespace

Command VerifySiteCommand() {
  return {"verify-site",
          std::string(kVerifySiteHelp) + kOutputHelp,
          {"public-key"},
          {std::begin(kOutputFlags), std::end(kOutputFlags)},
          RunVerifySite};
}

}  // namespace qvs
