#include "tools/qvs-release/site/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <set>
#include <vector>

#include "tests/support/test_files.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_files.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/keys/verify.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/site_journal.h"
#include "tools/qvs-release/site/site_key.h"
#include "tools/qvs-release/site/site_lock.h"
#include "tools/qvs-release/site/verify_site.h"

namespace qvs {
namespace {

using testing::BytesOf;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::SnapshotTree;
using testing::WriteBytes;

const std::filesystem::path kTestKeys = std::filesystem::path(QVS_SOURCE_DIR) / "tests" / "keys";

class Publish : public ::testing::Test {
 protected:
  PublishRequest Request(const std::string& version, const ByteBuffer& package, const std::string& name = "") {
    WriteBytes(folder_ / "upload.exe", package);
    PublishRequest request;
    request.private_key = kTestKeys / "test_update_key.pem";
    request.site = site();
    request.version = version;
    request.package = folder_ / "upload.exe";
    request.name = name;
    return request;
  }
  std::filesystem::path site() const { return folder_ / "site"; }
  std::filesystem::path client() const { return site() / kClientFolder; }
  int Verify(const std::string& package_name) {
    return VerifyRelease(kTestKeys / "test_update_key.pub", client() / "stable.manifest",
                         client() / "stable.manifest.sig", client() / "packages" / package_name)
        .exit_code;
  }

  ScratchFolder folder_;
};

TEST_F(Publish, LaysOutTheTreeTheServiceServes) {
  const ByteBuffer package = BytesOf("MZ sample host");
  const PublishedRelease release = PublishRelease(Request("1.0.0", package));

  const std::string expected_descriptor =
      "QVS-SUPPORT-UPDATE-V1\nversion=1.0.0\n"
      "path=/downloads/client/packages/QuorvantisSupportHost-1.0.0.exe\n"
      "size=14\nsha256=" +
      ToDigestText(Sha256Of(package)) + "\n";
  const auto tree = SnapshotTree(site());
  EXPECT_EQ(tree.size(), 8u);  // downloads, client, packages, the three files, the site's key and lock
  EXPECT_EQ(ReadBytes(site() / kSiteKeyFileName), ReadBytes(kTestKeys / "test_update_key.pub"));
  EXPECT_EQ(tree.at(kSiteLockFileName), "");
  EXPECT_EQ(tree.at("downloads/client/packages/QuorvantisSupportHost-1.0.0.exe"), "MZ sample host");
  EXPECT_EQ(tree.at("downloads/client/stable.manifest"), expected_descriptor);
  EXPECT_EQ(tree.at("downloads/client/stable.manifest.sig").size(), 64u);
  EXPECT_EQ(release.package_file, client() / "packages" / "QuorvantisSupportHost-1.0.0.exe");
  EXPECT_FALSE(release.package_already_there);
  EXPECT_EQ(Verify("QuorvantisSupportHost-1.0.0.exe"), kPackageMatches);
}

TEST_F(Publish, IdenticalRepublishKeepsThePackageAndANewVersionTakesOver) {
  PublishRelease(Request("1.0.0", BytesOf("first")));
  EXPECT_TRUE(PublishRelease(Request("1.0.0", BytesOf("first"))).package_already_there);
  EXPECT_EQ(Verify("QuorvantisSupportHost-1.0.0.exe"), kPackageMatches);

  PublishRelease(Request("1.0.1", BytesOf("second"), "host_1.0.1.exe"));
  EXPECT_EQ(Verify("host_1.0.1.exe"), kPackageMatches);
  // The older package stays served for launchers that still hold its descriptor.
  EXPECT_EQ(ReadBytes(client() / "packages" / "QuorvantisSupportHost-1.0.0.exe"), BytesOf("first"));
  EXPECT_EQ(Verify("QuorvantisSupportHost-1.0.0.exe"), kPackageMismatch);
}

TEST_F(Publish, AcceptsTheLimits) {
  const std::string longest_name(240 - 27, 'n');
  EXPECT_NO_THROW(PublishRelease(Request(std::string(32, '9'), ByteBuffer(kPackageSizeLimit, 0x5a), longest_name)));
  EXPECT_EQ(Verify(longest_name), kPackageMatches);
  PublishRequest lower = Request("1", ByteBuffer(1, 0), "one-byte");
  lower.allow_downgrade = true;
  EXPECT_NO_THROW(PublishRelease(lower));
}

TEST_F(Publish, RefusalsLeaveTheTreeUnchanged) {
  PublishRelease(Request("1.0.0", BytesOf("published")));
  const auto before = SnapshotTree(site());
  struct Case {
    const char* what;
    std::string version;
    ByteBuffer package;
    std::string name;
  };
  const Case cases[] = {
      {"letter in version", "1.0a", BytesOf("x"), ""},
      {"version of 33 bytes", std::string(33, '1'), BytesOf("x"), ""},
      {"version ending in a dot", "2.", BytesOf("x"), "host.exe"},
      {"version of dots only", "..", BytesOf("x"), "host.exe"},
      {"name one byte too long", "2", BytesOf("x"), std::string(240 - 27 + 1, 'n')},
      {"name with ..", "2", BytesOf("x"), "host..exe"},
      {"name with a slash", "2", BytesOf("x"), "sub/host.exe"},
      {"name with a space", "2", BytesOf("x"), "host 2.exe"},
      {"name with a query", "2", BytesOf("x"), "host.exe?v=2"},
      {"empty package", "2", {}, ""},
      {"package over 16 MiB", "2", ByteBuffer(kPackageSizeLimit + 1, 0), ""},
      {"other bytes under a published name", "2", BytesOf("changed"), "QuorvantisSupportHost-1.0.0.exe"},
      {"other bytes of the same length", "1.0.0", BytesOf("Published"), ""},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(PublishRelease(Request(c.version, c.package, c.name)), std::runtime_error) << c.what;
    EXPECT_EQ(SnapshotTree(site()), before) << c.what;
  }
}

TEST_F(Publish, RefusesABadKeyBeforeWritingAnything) {
  PublishRequest request = Request("1", BytesOf("x"));
  request.private_key = kTestKeys / "test_update_key.pub";
  EXPECT_THROW(PublishRelease(request), ToolError);
  EXPECT_FALSE(std::filesystem::exists(site()));
}

TEST_F(Publish, RefusesAFolderWhereTheDescriptorGoes) {
  std::filesystem::create_directories(client() / "stable.manifest.sig");
  const auto before = SnapshotTree(site() / "downloads");
  EXPECT_THROW(PublishRelease(Request("1", BytesOf("x"))), ToolError);
  // Only the lock file, which stays for good, was added.
  EXPECT_EQ(SnapshotTree(site() / "downloads"), before);
}

// What a stop leaves is what a kill leaves once the change is committed; before that, what
// Ctrl-C leaves (the staged files removed). A kill before the commit is the staging case below.
// The site keeps a release log: whatever stops, the served release stays inside the served log.
TEST_F(Publish, AStoppedPublishIsCompletedOrUndoneByTheNextOne) {
  struct Stop {};
  const struct Case {
    const char* step;
    bool decided;
  } cases[] = {{"stage", false},   {"commit", false},    {"site key", true},   {"log key", true},  {"package", true},
               {"log tile", true}, {"checkpoint", true}, {"descriptor", true}, {"signature", true}};
  WriteNewLogKey("updates.example.com/downloads/client/log", folder_ / "log.pem", folder_ / "log.vkey", false, {});
  const LogVerifier log_key = ReadLogVerifiers(folder_ / "log.vkey").front();
  // The served descriptor is always one of the served log: the checkpoint that logs a release
  // is served before it. (Between the descriptor and its signature the pair is mixed, as ever.)
  const auto served_descriptor_is_logged = [&] {
    if (!std::filesystem::exists(client() / "stable.manifest") || !std::filesystem::exists(client() / "log")) {
      return true;
    }
    const SiteLog log = ReadSiteLog(site(), {log_key}, true);
    const ByteBuffer descriptor = ReadBytes(client() / "stable.manifest");
    return std::any_of(log.entries.begin(), log.entries.end(), [&](const ByteBuffer& entry) {
      return entry.size() == descriptor.size() + 64 && std::equal(descriptor.begin(), descriptor.end(), entry.begin());
    });
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(site());
    PublishRequest earlier = Request("0", BytesOf("zero"));
    earlier.log_key = folder_ / "log.pem";
    if (std::string_view(c.step) != "site key" && std::string_view(c.step) != "log key") {
      PublishRelease(earlier);
    }
    PublishRequest stopped = Request("1", BytesOf("first"));
    stopped.log_key = folder_ / "log.pem";
    const StepObserver observer = [&](std::string_view step) {
      EXPECT_TRUE(served_descriptor_is_logged()) << c.step << " at " << step;
      if (step == c.step) {
        throw Stop{};
      }
    };
    EXPECT_THROW(PublishRelease(stopped, observer), Stop) << c.step;
    EXPECT_FALSE(std::filesystem::exists(site() / kStagingFolderName)) << c.step;
    EXPECT_EQ(std::filesystem::exists(site() / kPendingFolderName), c.decided) << c.step;
    EXPECT_TRUE(served_descriptor_is_logged()) << c.step;
    if (c.decided) {
      EXPECT_THROW(VerifySite(site(), kTestKeys / "test_update_key.pub", {}, {}), ToolError) << c.step;
    }

    PublishRequest second = Request("2", BytesOf("second"));
    second.log_key = folder_ / "log.pem";
    const PublishedRelease next = PublishRelease(second);
    EXPECT_EQ(next.mended.empty(), !c.decided) << c.step;
    EXPECT_EQ(VerifySite(site(), {}, {}, {}).exit_code, kPackageMatches) << c.step;
    EXPECT_EQ(ReadBytes(site() / kSiteKeyFileName), ReadBytes(kTestKeys / "test_update_key.pub")) << c.step;
    // The log holds each release that took effect, in order, and nothing else.
    const SiteLog log = ReadSiteLog(site(), {log_key}, true);
    const bool earlier_published = log.entries.size() == (c.decided ? 3u : 2u);
    EXPECT_TRUE(earlier_published || log.entries.size() == (c.decided ? 2u : 1u)) << c.step;
    // Nothing but the release files under what is served; the stopped release is there if decided.
    std::map<std::string, std::string> served = SnapshotTree(site() / "downloads");
    std::erase_if(served, [](const auto& file) { return file.first.starts_with("client/log"); });
    std::map<std::string, std::string> expected = {
        {"client", "<folder>"},
        {"client/packages", "<folder>"},
        {"client/packages/QuorvantisSupportHost-2.exe", "second"},
        {"client/stable.manifest", SnapshotTree(client()).at("stable.manifest")},
        {"client/stable.manifest.sig", SnapshotTree(client()).at("stable.manifest.sig")}};
    if (c.decided) {
      expected.emplace("client/packages/QuorvantisSupportHost-1.exe", "first");
    }
    if (earlier_published) {
      expected.emplace("client/packages/QuorvantisSupportHost-0.exe", "zero");
    }
    EXPECT_EQ(served, expected) << c.step;
  }
}

// A stopped publish whose files can no longer all be moved (here its packages folder now lies on
// another file system) is reported as such, and is neither completed half nor undone.
TEST_F(Publish, APendingPublishThatCannotBeCompletedSaysWhyAndMovesNothing) {
  struct Stop {};
  const std::filesystem::path elsewhere = "/dev/shm/qvs-publish-test-packages";
  struct stat shm {};
  struct stat scratch {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(folder_.path().c_str(), &scratch) != 0 || shm.st_dev == scratch.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  PublishRelease(Request("1", BytesOf("first")));
  PublishRequest stopped = Request("2", BytesOf("second"));
  const StepObserver observer = [](std::string_view step) {
    if (step == "package") {
      throw Stop{};
    }
  };
  EXPECT_THROW(PublishRelease(stopped, observer), Stop);
  std::filesystem::remove_all(elsewhere);
  std::filesystem::copy(client() / "packages", elsewhere, std::filesystem::copy_options::recursive);
  std::filesystem::remove_all(client() / "packages");
  std::filesystem::create_directory_symlink(elsewhere, client() / "packages");
  const auto before = SnapshotTree(site());
  const auto failure = [](const std::function<void()>& run) {
    try {
      run();
    } catch (const ToolError& error) {
      return std::string(error.what());
    }
    return std::string("no failure");
  };
  EXPECT_NE(failure([&] { VerifySite(site(), {}, {}, {}); }).find("it cannot be completed: "), std::string::npos);
  const std::string refused = failure([&] { PublishRelease(Request("3", BytesOf("third"))); });
  EXPECT_NE(refused.find("the stopped publish cannot be completed: "), std::string::npos) << refused;
  EXPECT_NE(refused.find("lies on another file system"), std::string::npos) << refused;
  EXPECT_EQ(SnapshotTree(site()), before);
  // Mended, the next publish completes it.
  std::filesystem::remove(client() / "packages");
  std::filesystem::copy(elsewhere, client() / "packages", std::filesystem::copy_options::recursive);
  std::filesystem::remove_all(elsewhere);
  EXPECT_FALSE(PublishRelease(Request("3", BytesOf("third"))).mended.empty());
  EXPECT_EQ(ReadBytes(client() / "packages" / "QuorvantisSupportHost-2.exe"), BytesOf("second"));
  EXPECT_EQ(Verify("QuorvantisSupportHost-3.exe"), kPackageMatches);
}

TEST_F(Publish, RemovesWhatAPublishKilledBeforeItsCommitLeft) {
  PublishRelease(Request("1", BytesOf("first")));
  std::filesystem::create_directories(site() / kStagingFolderName / "packages");
  WriteBytes(site() / kStagingFolderName / "packages" / "QuorvantisSupportHost-2.exe", BytesOf("half"));
  EXPECT_THROW(VerifySite(site(), {}, {}, {}), ToolError);
  EXPECT_FALSE(PublishRelease(Request("2", BytesOf("second"))).mended.empty());
  EXPECT_FALSE(std::filesystem::exists(site() / kStagingFolderName));
  EXPECT_EQ(Verify("QuorvantisSupportHost-2.exe"), kPackageMatches);
}

TEST_F(Publish, WaitsForAnotherPublishOfTheSiteAndGivesUpAfterItsBound) {
  PublishRelease(Request("1", BytesOf("first")));
  const auto before = SnapshotTree(site());
  int waits = 0;
  {
    const SiteLock other(site(), LockMode::kExclusive, {}, {});
    PublishRequest request = Request("2", BytesOf("second"));
    request.lock_wait = std::chrono::milliseconds(200);
    request.waiting = [&] { ++waits; };
    EXPECT_THROW(PublishRelease(request), ToolError);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(SnapshotTree(site()), before);
    // A site check waits for the publish as well.
    EXPECT_THROW(VerifySite(site(), {}, std::chrono::milliseconds(100), {}), ToolError);
  }
  EXPECT_NO_THROW(PublishRelease(Request("2", BytesOf("second"))));
}

TEST_F(Publish, RefusesAKeyThatIsNotTheSitesNamingBothFingerprints) {
  const std::string test_key = KeyFingerprint(ReadBytes(kTestKeys / "test_update_key.pub"));
  const std::string other_key = KeyFingerprint(ReadBytes(kTestKeys / "other_key.pub"));
  PublishRelease(Request("1", BytesOf("first")));
  const auto message = [&](const char* private_key, const char* public_key) {
    PublishRequest request = Request("2", BytesOf("second"));
    request.private_key = kTestKeys / private_key;
    if (public_key != nullptr) {
      request.public_key = kTestKeys / public_key;
    }
    const auto before = SnapshotTree(site());
    try {
      PublishRelease(request);
    } catch (const ToolError& error) {
      EXPECT_EQ(SnapshotTree(site()), before);
      return std::string(error.what());
    }
    return std::string("no failure");
  };
  const auto names_both = [&](const std::string& text) {
    return text.find(test_key) != std::string::npos && text.find(other_key) != std::string::npos;
  };
  EXPECT_TRUE(names_both(message("other_key.pem", nullptr)));
  EXPECT_TRUE(names_both(message("other_key.pem", "other_key.pub")));  // --public-key does not move a site
  EXPECT_TRUE(names_both(message("test_update_key.pem", "other_key.pub")));
  // A site published before it had a key file is taken over only by the key that signed it...
  std::filesystem::remove(site() / kSiteKeyFileName);
  EXPECT_NE(message("other_key.pem", nullptr).find("Give --public-key"), std::string::npos);
  // ...or by the one the publisher names.
  EXPECT_EQ(message("other_key.pem", "other_key.pub"), "no failure");
  EXPECT_EQ(ReadBytes(site() / kSiteKeyFileName), ReadBytes(kTestKeys / "other_key.pub"));
}

TEST_F(Publish, MessagesSayWhatIsWrong) {
  const auto message = [&](const std::string& version, const ByteBuffer& package, const std::string& name) {
    try {
      PublishRelease(Request(version, package, name));
    } catch (const std::exception& error) {
      return std::string(error.what());
    }
    return std::string("no failure");
  };
  EXPECT_NE(message("1.x", BytesOf("x"), "").find("The update version is invalid."), std::string::npos);
  EXPECT_NE(message("1", BytesOf("x"), std::string(214, 'n'))
                .find("The update package path is outside the trusted support origin."),
            std::string::npos);
  EXPECT_NE(message("1", {}, "").find("The update package size is invalid."), std::string::npos);
  EXPECT_NE(message("1", ByteBuffer(kPackageSizeLimit + 1), "").find("16777217 bytes"), std::string::npos);
  PublishRelease(Request("1", BytesOf("a")));
  EXPECT_NE(message("1", BytesOf("b"), "").find("already holds a different package"), std::string::npos);
}

// A site published with the update key and the launchers' log key, each with its recovery key.
class RecoveringSite : public Publish {
 protected:
  PublishRequest Next(const std::string& version, const char* update_key, const char* launcher_log_key) {
    PublishRequest request = Request(version, BytesOf("host " + version));
    request.private_key = kTestKeys / update_key;
    request.log_key = kTestKeys / "test_log_key.pem";
    request.launcher_log_key = (kTestKeys / launcher_log_key).string();
    return request;
  }
  void PublishFirst() {
    PublishRequest first = Next("1", "test_update_key.pem", "test_launcher_log_key.pem");
    first.recovery_public_key = kTestKeys / "test_recovery_key.pub";
    first.log_recovery_public_key = kTestKeys / "test_log_recovery_key.vkey";
    const PublishedRelease release = PublishRelease(first);
    EXPECT_EQ(release.recovery_key_written, Fingerprint("test_recovery_key.pub"));
    EXPECT_FALSE(release.log_recovery_key_written.empty());
  }
  static std::string Fingerprint(const char* blob) { return KeyFingerprint(ReadBytes(kTestKeys / blob)); }
  static std::string LogKeyText(const char* vkey) { return ReadLogVerifiers(kTestKeys / vkey).front().Text(); }
};

TEST_F(RecoveringSite, TheRecoveryKeyIsRefusedWithoutTheSwitchAndEveryWrongSwitchLeavesTheSiteAsItWas) {
  const std::string update = Fingerprint("test_update_key.pub");
  const std::string recovery = Fingerprint("test_recovery_key.pub");
  const struct Case {
    const char* name;
    std::function<void(PublishRequest&)> change;
    std::vector<std::string> said;
  } cases[] = {
      {"the recovery key, no switch",
       [](PublishRequest& r) { r.private_key = kTestKeys / "test_recovery_key.pem"; },
       {update, recovery, "--switch-to-recovery-key"}},
      {"the switch signed by the site's key",
       [](PublishRequest& r) { r.switch_to_recovery_key = true; },
       {"is the site's key already"}},
      {"the switch to a key the site does not record",
       [](PublishRequest& r) {
         r.private_key = kTestKeys / "other_key.pem";
         r.switch_to_recovery_key = true;
       },
       {Fingerprint("other_key.pub"), recovery}},
      {"a second recovery key",
       [](PublishRequest& r) { r.recovery_public_key = kTestKeys / "other_key.pub"; },
       {"is not the recovery key", recovery, "remove that file first"}},
      {"the site's key as its own recovery key",
       [](PublishRequest& r) { r.recovery_public_key = kTestKeys / "test_update_key.pub"; },
       {"is the site's key itself"}},
      {"the replaced key as the new recovery key",
       [](PublishRequest& r) {
         r.private_key = kTestKeys / "test_recovery_key.pem";
         r.switch_to_recovery_key = true;
         r.recovery_public_key = kTestKeys / "test_update_key.pub";
       },
       {"is the key this switch replaces"}},
      {"the log's recovery key, no switch",
       [](PublishRequest& r) { r.launcher_log_key = (kTestKeys / "test_log_recovery_key.pem").string(); },
       {"it is that key's recovery key", "--switch-to-log-recovery-key"}},
      {"the log switch signed by the launchers' log key",
       [](PublishRequest& r) { r.switch_to_log_recovery_key = true; },
       {"is the key launchers check already"}},
      {"the log switch to a key the site does not record",
       [](PublishRequest& r) {
         r.launcher_log_key = (kTestKeys / "other_launcher_log_key.pem").string();
         r.switch_to_log_recovery_key = true;
       },
       {"is not the recovery key"}},
      {"the log's Ed25519 key as a recovery key",
       [](PublishRequest& r) { r.log_recovery_public_key = kTestKeys / "test_log_key.vkey"; },
       {"not a recovery key for the key launchers check"}},
      {"the launchers' log key as its own recovery key",
       [](PublishRequest& r) { r.log_recovery_public_key = kTestKeys / "test_launcher_log_key.vkey"; },
       {"is the key launchers check itself"}},
  };
  PublishFirst();
  const auto before = SnapshotTree(site());
  for (const Case& c : cases) {
    PublishRequest request = Next("2", "test_update_key.pem", "test_launcher_log_key.pem");
    c.change(request);
    std::string message = "no failure";
    try {
      PublishRelease(request);
    } catch (const ToolError& error) {
      message = error.what();
    }
    for (const std::string& part : c.said) {
      EXPECT_NE(message.find(part), std::string::npos) << c.name << ": " << message;
    }
    EXPECT_EQ(SnapshotTree(site()), before) << c.name;
  }
}

// The switch, stopped at each of its steps: once decided, the next publish completes it, and from
// then on the recovery keys are the site's keys.
TEST_F(RecoveringSite, ASwitchStoppedAnywhereIsCompletedOrUndoneByTheNextPublish) {
  struct Stop {};
  const struct Case {
    const char* step;
    bool decided;
  } cases[] = {{"stage", false},       {"commit", false},  {"key switches", true},     {"site key", true},
               {"recovery key", true}, {"log key", true},  {"log recovery key", true}, {"checkpoint", true},
               {"descriptor", true},   {"signature", true}};
  for (const Case& c : cases) {
    std::filesystem::remove_all(site());
    PublishFirst();
    PublishRequest lost = Next("2", "test_recovery_key.pem", "test_log_recovery_key.pem");
    lost.switch_to_recovery_key = true;
    lost.switch_to_log_recovery_key = true;
    const StepObserver observer = [&](std::string_view step) {
      if (step == c.step) {
        throw Stop{};
      }
    };
    EXPECT_THROW(PublishRelease(lost, observer), Stop) << c.step;
    // Undecided, the switch is still to be made; decided, it is made already.
    PublishRequest next = Next("3", "test_recovery_key.pem", "test_log_recovery_key.pem");
    next.switch_to_recovery_key = next.switch_to_log_recovery_key = !c.decided;
    const PublishedRelease release = PublishRelease(next);
    EXPECT_EQ(release.mended.empty(), !c.decided) << c.step;
    EXPECT_EQ(release.key_switches.size(), c.decided ? 0u : 2u) << c.step;
    EXPECT_EQ(ReadBytes(site() / kSiteKeyFileName), ReadBytes(kTestKeys / "test_recovery_key.pub")) << c.step;
    EXPECT_FALSE(std::filesystem::exists(site() / kSiteRecoveryKeyFileName)) << c.step;
    EXPECT_FALSE(std::filesystem::exists(site() / kSiteLogRecoveryKeyFileName)) << c.step;
    const LogKeySet keys = ReadSiteLogKeys(site());
    ASSERT_EQ(keys.size(), 2u) << c.step;
    EXPECT_EQ(keys.back().Text(), LogKeyText("test_log_recovery_key.vkey")) << c.step;
    const std::vector<std::string> switches = ReadKeySwitches(site());
    ASSERT_EQ(switches.size(), 2u) << c.step;
    EXPECT_NE(switches[0].find("update key " + Fingerprint("test_update_key.pub") + " replaced by its recovery key " +
                               Fingerprint("test_recovery_key.pub")),
              std::string::npos)
        << switches[0];
    EXPECT_NE(switches[1].find("launchers' log key"), std::string::npos) << switches[1];
    // The log went on: every release that took effect is in it, signed by the key of its day.
    const VerificationResult check = VerifySite(site(), {}, {}, {});
    EXPECT_EQ(check.exit_code, kPackageMatches) << c.step;
    EXPECT_NE(check.report.find("switched: "), std::string::npos) << check.report;
    EXPECT_EQ(ReadSiteLog(site(), keys, true).entries.size(), c.decided ? 3u : 2u) << c.step;
  }
}

// What a dry run plans is what the publish then places, in the same order: the site's own files,
// the log's and the served ones, through a site's life from its first release to the switch to
// both recovery keys. Only a new entry's proof waits for the signature to be named.
TEST_F(RecoveringSite, ThePlanNamesEveryFileThePublishPlaces) {
  const auto unlogged = [](PublishRequest& r) {
    r.log_key.clear();
    r.launcher_log_key.clear();
    r.recovery_public_key = kTestKeys / "test_recovery_key.pub";
  };
  const struct Case {
    const char* name;
    const char* version;
    std::function<void(PublishRequest&)> change;
  } cases[] = {
      {"the first release, with its recovery key", "1", unlogged},
      {"the same release again", "1", unlogged},
      {"the log started", "2", [](PublishRequest& r) { r.launcher_log_key.clear(); }},
      {"the release logged last, published again", "2", [](PublishRequest& r) { r.launcher_log_key.clear(); }},
      {"the key launchers check added, with its recovery key", "3",
       [](PublishRequest& r) { r.log_recovery_public_key = kTestKeys / "test_log_recovery_key.vkey"; }},
      {"both keys switched to their recovery keys", "4",
       [](PublishRequest& r) {
         r.private_key = kTestKeys / "test_recovery_key.pem";
         r.launcher_log_key = (kTestKeys / "test_log_recovery_key.pem").string();
         r.switch_to_recovery_key = r.switch_to_log_recovery_key = true;
       }},
  };
  const auto shown = [](const std::filesystem::path& path) {
    return path.parent_path().filename() == kProofFolderName ? (path.parent_path() / "LEAF").string() : path.string();
  };
  for (const Case& c : cases) {
    PublishRequest request = Next(c.version, "test_update_key.pem", "test_launcher_log_key.pem");
    c.change(request);
    const auto before = SnapshotTree(site());
    const PublishPlan plan = PlanPublish(request);
    ASSERT_EQ(SnapshotTree(site()), before) << c.name;
    const PublishedRelease release = PublishRelease(request);
    const auto after = SnapshotTree(site());

    std::vector<std::string> planned_served;
    std::set<std::string> planned_root;
    for (const PlannedFile& file : plan.files) {
      if (*file.path.begin() == kServedFolder) {
        planned_served.push_back(shown(file.path));
      } else {
        planned_root.insert(file.path.string());
      }
    }
    std::vector<std::string> placed;
    for (const std::filesystem::path& file : release.served_files) {
      placed.push_back(shown(file));
    }
    EXPECT_EQ(planned_served, placed) << c.name;
    std::set<std::string> changed_root;
    for (const auto* tree : {&before, &after}) {
      for (const auto& [path, bytes] : *tree) {
        const auto other = (tree == &before ? after : before).find(path);
        if (path.find('/') == std::string::npos && path != kServedFolder && path != kSiteLockFileName &&
            (other == (tree == &before ? after : before).end() || other->second != bytes)) {
          changed_root.insert(path);
        }
      }
    }
    EXPECT_EQ(planned_root, changed_root) << c.name;
    EXPECT_EQ(plan.log_entry.has_value(), release.log_size > 0) << c.name;
    if (plan.log_entry) {
      EXPECT_EQ(plan.log_entry->index + 1, release.log_size) << c.name;
      EXPECT_EQ(plan.log_entry->logged_signature.has_value(), !release.logged) << c.name;
    }
  }
}

TEST_F(RecoveringSite, ASwitchRecordsTheNewRecoveryKeyGivenWithIt) {
  PublishFirst();
  PublishRequest lost = Next("2", "test_recovery_key.pem", "test_launcher_log_key.pem");
  lost.switch_to_recovery_key = true;
  lost.recovery_public_key = kTestKeys / "other_key.pub";
  EXPECT_EQ(PublishRelease(lost).recovery_key_written, Fingerprint("other_key.pub"));
  EXPECT_EQ(ReadBytes(site() / kSiteRecoveryKeyFileName), ReadBytes(kTestKeys / "other_key.pub"));
  // The old key is now just another key.
  EXPECT_THROW(PublishRelease(Next("3", "test_update_key.pem", "test_launcher_log_key.pem")), ToolError);
}

}  // namespace
}  // namespace qvs
