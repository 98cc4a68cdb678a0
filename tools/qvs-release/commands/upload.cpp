#include "tools/qvs-release/site/upload.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "common/site_layout.h"
#include "tools/qvs-release/base/curl_easy.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/commands/command.h"
#include "tools/qvs-release/commands/service_options.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "tools/qvs-release/s3/credentials.h"
#include "tools/qvs-release/site/site_lock.h"
#include "tools/qvs-release/site/verify_site.h"

namespace qvs {
namespace {

constexpr char kUploadHelp[] =
    "Usage: qvs-release upload [--endpoint URL] [--region REGION] [--ca FILE] [--credentials FILE\n"
    "                          [--profile NAME]] [--timeout SECONDS] [--public-read] [--allow-downgrade]\n"
    "                          [--dry-run]\n"
    "                          [--check HOST --public-key FILE [--recovery-public-key FILE]\n"
    "                          [--log-public-key FILE] [--wait SECONDS] [--check-ca FILE]\n"
    "                          [--connect-to ADDRESS:PORT]] [--json | --quiet] DIR s3://BUCKET[/PREFIX]\n"
    "\n"
    "Copies the release files of the site DIR (everything 'publish' placed below downloads/) into\n"
    "the bucket, below PREFIX when one is given, in the order launchers need them: first what never\n"
    "changes (packages, the log's tiles, bundles and proofs), each only when the bucket lacks it and\n"
    "with If-None-Match: * so that nothing already there is replaced; then the log's checkpoint; then\n"
    "stable.manifest and stable.manifest.sig, back to back. Each object gets its Content-Type and\n"
    "Cache-Control: 'public, max-age=31536000, immutable' for what never changes, 'no-cache' for the\n"
    "checkpoint and the pair. Nothing in the bucket is ever deleted. An object that never changes\n"
    "but is in the bucket with other bytes stops the upload before anything is sent. The site must\n"
    "pass 'verify-site' first, and a publish waits until the upload is over. An upload that was\n"
    "stopped is completed by running it again.\n"
    "\n"
    "  --endpoint URL     an S3-compatible service, [https://]HOST[:PORT] (http:// only when the URL\n"
    "                     says so), addressed as URL/BUCKET/KEY; without it AWS's endpoint of the\n"
    "                     region, addressed as BUCKET.s3.REGION.amazonaws.com/KEY\n"
    "  --region REGION    the region the requests are signed for (default: AWS_REGION,\n"
    "                     AWS_DEFAULT_REGION, else us-east-1)\n"
    "  --ca FILE          trust only the CA certificates in FILE (PEM) for the endpoint\n"
    "  --credentials FILE an AWS shared credentials file, read in the section of --profile NAME\n"
    "                     (default: AWS_PROFILE, else 'default'); without it AWS_ACCESS_KEY_ID,\n"
    "                     AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN. Credentials are never taken\n"
    "                     from the command line and never printed.\n"
    "  --timeout SECONDS  end a request that has not been answered in full within SECONDS (default 300)\n"
    "  --public-read      give each object the ACL public-read, for a store that grants anonymous\n"
    "                     reads object by object; by default reads are the bucket policy's job\n"
    "  --allow-downgrade  upload a site whose version is lower than the one the bucket serves, which\n"
    "                     takes every launcher back; without it that is refused, as is a site whose log\n"
    "                     is shorter than the bucket's (an old copy of the site)\n"
    "  --dry-run          list the bucket and print what would be sent, skipped or replaced (key,\n"
    "                     bytes, Content-Type, Cache-Control); send nothing\n"
    "  --check HOST       then check the public host as 'check --expect-site DIR' does, with\n"
    "                     --public-key, --recovery-public-key, --log-public-key, --wait (try again\n"
    "                     every 5 seconds for up to SECONDS, for a CDN to settle), --check-ca (check's\n"
    "                     --ca) and --connect-to as check takes them\n"
    "\n"
    "Exit: 0 the bucket holds the site's release (and, with --check, the host serves it), 2 wrong\n"
    "arguments, 1 anything else, with the reason on stderr; the exit statuses of check after --check.\n";

constexpr std::string_view kCheckOptions[] = {"public-key", "recovery-public-key", "log-public-key", "wait",
                                              "check-ca",   "connect-to"};

std::string Region(const CommandArguments& arguments) {
  if (const std::string* region = NonEmptyOption(arguments, "region")) {
    return *region;
  }
  for (const char* name : {"AWS_REGION", "AWS_DEFAULT_REGION"}) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
      return value;
    }
  }
  return {};
}

// The arguments check takes for the end check, settled before the upload starts.
std::optional<CommandArguments> ReadEndCheck(const CommandArguments& arguments, const std::filesystem::path& site) {
  const std::string* host = NonEmptyOption(arguments, "check");
  if (host == nullptr) {
    for (const std::string_view name : kCheckOptions) {
      if (arguments.Find(name) != nullptr) {
        throw UsageError("--" + std::string(name) + " belongs to --check HOST");
      }
    }
    return std::nullopt;
  }
  CommandArguments check;
  check.positionals = {*host};
  for (const std::string_view name : kCheckOptions) {
    if (const std::string* value = NonEmptyOption(arguments, name)) {
      check.options.emplace(name == "check-ca" ? "ca" : std::string(name), *value);
    }
  }
  check.options.emplace("expect-site", site.string());
  // What check would refuse is refused before anything is sent.
  ReadServiceAddress(check);
  LoadPublicKeyBlob(check.Require("public-key"));
  LoadRecoveryKey(check);
  ReadLogWatch(check);
  ParseSeconds(check, "wait", 0, std::chrono::seconds(0));
  return check;
}

Json PlanJson(const UploadPlan& plan) {
  Json objects = Json::Array();
  for (const UploadObject& object : plan.objects) {
    objects.Add(Json::Object()
                    .Set("key", object.key)
                    .Set("file", object.file.string())
                    .Set("bytes", object.size)
                    .Set("content_type", std::string(object.content_type))
                    .Set("cache_control", std::string(object.cache_control))
                    .Set("action", std::string(ActionName(object.action))));
  }
  return objects;
}

void PrintPlan(const UploadPlan& plan) {
  for (const UploadObject& object : plan.objects) {
    std::cout << ActionName(object.action) << " " << object.key << " (" << object.size << " bytes; "
              << object.content_type << "; " << object.cache_control << ")\n";
  }
}

int RunUpload(const CommandArguments& arguments) {
  if (arguments.positionals.size() != 2) {
    throw UsageError("expected DIR and s3://BUCKET[/PREFIX], got " + std::to_string(arguments.positionals.size()) +
                     " arguments");
  }
  const std::filesystem::path site = arguments.positionals[0];
  BucketAddress address =
      ReadBucketAddress(arguments.positionals[1], NonEmptyOption(arguments, "endpoint"), Region(arguments));
  if (const std::string* ca = NonEmptyOption(arguments, "ca")) {
    address.ca_file = *ca;
  }
  address.request_timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
      ParseSeconds(arguments, "timeout", 1, std::chrono::seconds(300)));
  const bool dry_run = arguments.flags.contains("dry-run");
  const bool public_read = arguments.flags.contains("public-read");
  const Output output = ReadOutput(arguments);
  std::optional<CommandArguments> end_check = ReadEndCheck(arguments, site);
  AwsCredentials credentials =
      ReadAwsCredentials(NonEmptyOption(arguments, "credentials"), NonEmptyOption(arguments, "profile"));
  if (address.scheme == "http") {
    std::cerr << "warning: --endpoint http://" << address.host
              << ": the upload travels unencrypted, and anyone on the way can change what is stored\n";
  }

  // The site stays as it is while it is uploaded: a publish waits for the upload (not for the check).
  std::optional<SiteLock> lock;
  lock.emplace(site, LockMode::kShared, std::chrono::minutes(2), [&] { AnnounceWait(site); });
  const std::string refusal = site.string() + " does not pass verify-site, so nothing was uploaded: ";
  SiteVerification verified;
  try {
    verified = VerifySite(site, {}, std::chrono::minutes(2), [&] { AnnounceWait(site); });
  } catch (const ToolError& error) {
    throw ToolError(refusal + error.what());
  }
  if (verified.exit_code != kPackageMatches) {
    throw ToolError(refusal + verified.report);
  }

  const CurlGlobal curl;
  ObjectStore store(std::move(address), std::move(credentials));
  UploadPlan plan = PlanUpload(site, store, arguments.flags.contains("allow-downgrade"));
  for (const std::string& entry : plan.not_uploaded) {
    std::cerr << "warning: not uploaded: " << entry << "\n";
  }
  const std::string destination = store.address().Name();
  const std::size_t there = plan.objects.size() - plan.objects_to_send;
  if (dry_run) {
    if (output == Output::kText) {
      PrintPlan(plan);
      std::cout << "Dry run: " << plan.objects_to_send << " of " << plan.objects.size() << " objects ("
                << plan.bytes_to_send << " bytes) would be sent to " << destination << ", " << there
                << " are there already; nothing was sent\n";
    }
  } else {
    ApplyUpload(plan, store, public_read, [&](const UploadObject& object) {
      if (output == Output::kText) {
        std::cout << (object.action == UploadAction::kReplace ? "replaced " : "uploaded ") << object.key << " ("
                  << object.size << " bytes)" << std::endl;
      }
    });
    if (output == Output::kText) {
      std::cout << "Uploaded version " << verified.record.version << " to " << destination << ": "
                << plan.objects_to_send << " objects (" << plan.bytes_to_send << " bytes) sent, " << there
                << " already there, in " << store.requests() << " requests\n";
    }
  }

  Json json = Json::Object();
  json.Set("site", site.string())
      .Set("destination", destination)
      .Set("endpoint", store.address().scheme + "://" + store.address().host)
      .Set("version", verified.record.version)
      .Set("dry_run", dry_run)
      .Set("objects", PlanJson(plan))
      .Set("objects_sent", dry_run ? 0 : static_cast<std::uint64_t>(plan.objects_to_send))
      .Set("bytes_sent", dry_run ? 0 : plan.bytes_to_send)
      .Set("requests", static_cast<std::uint64_t>(store.requests()))
      .Set("not_uploaded", JsonStrings(plan.not_uploaded));
  lock.reset();
  int exit_code = kSuccess;
  if (end_check && !dry_run) {
    ServiceCheck check = RunServiceCheck(*end_check, output);
    exit_code = check.exit_code;
    json.Set("check", std::move(check.json));
  } else {
    json.Set("check", Json());
  }
  if (output == Output::kJson) {
    PrintJson(json);
  }
  return exit_code;
}

}  // namespace

Command UploadCommand() {
  std::vector<std::string_view> options = {"endpoint", "region", "ca", "credentials", "profile", "timeout", "check"};
  options.insert(options.end(), std::begin(kCheckOptions), std::end(kCheckOptions));
  std::vector<std::string_view> flags = {"dry-run", "public-read", "allow-downgrade"};
  flags.insert(flags.end(), std::begin(kOutputFlags), std::end(kOutputFlags));
  return {"upload", std::string(kUploadHelp) + "\n" + kOutputHelp, options, flags, RunUpload};
}

}  // namespace qvs
