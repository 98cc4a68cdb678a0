// The release log's cost at 10 and 10,000 entries, measured in process on real files (no network):
// a publish with the log beside one without, verify-site's log check, what `check` reads and
// computes (the tiles of an inclusion and a consistency proof) and what `audit-log` does (every
// bundle parsed, the tree recomputed, every entry's signature verified), and the size of the proof
// launchers fetch for a new release, signed by both log keys, with the time its check takes. Prints
// figures; judges nothing. Usage: qvs-log-bench SOURCE_DIR [ENTRIES...] (default 10 1000 10000).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/qvs-release/base/posix_file.h"
#include "tools/qvs-release/keys/key_factory.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/keys/verify.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "tools/qvs-release/log/merkle_tree.h"
#include "tools/qvs-release/log/site_log.h"
#include "tools/qvs-release/site/publish.h"
#include "tools/qvs-release/site/site_key.h"

namespace qvs {
namespace {

using Clock = std::chrono::steady_clock;

// The proof's lines between its index line and the blank line before the checkpoint.
std::size_t InclusionHashCount(ByteView proof) {
  const std::string_view text(reinterpret_cast<const char*>(proof.data()), proof.size());
  const std::string_view head = text.substr(0, text.find("\n\n"));
  return static_cast<std::size_t>(std::count(head.begin(), head.end(), '\n')) - 1;
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Write(const std::filesystem::path& path, ByteView bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

UpdateDescriptorRecord RecordFor(std::uint64_t index) {
  const std::string package = "MZ package " + std::to_string(index);
  return {std::to_string(index / 100) + "." + std::to_string(index % 100),
          "/downloads/client/packages/QuorvantisSupportHost-" + std::to_string(index) + ".exe", package.size(),
          ToDigestText(Sha256Of(AsBytes(package)))};
}

// A site that has published `count` releases with a log: every entry signed with the update key,
// the tiles, the last entry's proof and the checkpoint as publish appends them (signed by the log
// key and the launchers' log key), the last release served. Returns the last entry's proof.
ByteBuffer LayOutLoggedSite(const std::filesystem::path& site, std::uint64_t count, SigningKey& update_key,
                            const LogSigningKey& log_key, SigningKey& launcher_log_key) {
  SiteLog log;
  log.verifiers = {VerifierOf(log_key.origin, log_key.key.get()),
                   VerifierOf(log_key.origin, launcher_log_key.public_key())};
  log.checkpoint = Checkpoint{log_key.origin, 0, RootOf({})};
  ByteBuffer descriptor;
  ByteBuffer signature;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string text = WriteUpdateDescriptor(RecordFor(i));
    descriptor.assign(text.begin(), text.end());
    signature = update_key.Sign(descriptor);
    log.entries.push_back(LogEntry(descriptor, signature));
  }
  // The last entry appended as publish appends it: every tile, bundle and the checkpoint.
  const ByteBuffer last = std::move(log.entries.back());
  log.entries.pop_back();
  const CheckpointSigner signers[] = {Ed25519Signer(log_key.origin, log_key.key.get()),
                                      EcdsaSigner(log_key.origin, launcher_log_key)};
  const LogChange change = AppendToLog(log, last, signers);
  for (const auto& [path, bytes] : change.tiles) {
    Write(site / kLogFolder / path, bytes);
  }
  Write(site / kLogFolder / kCheckpointName, AsBytes(*change.checkpoint));
  const std::string verifier = LogKeySetText(log.verifiers);
  Write(site / kSiteLogKeyFileName, AsBytes(verifier));
  Write(site / kSiteKeyFileName, update_key.public_blob());
  Write(site / kClientFolder / kDescriptorName, descriptor);
  Write(site / kClientFolder / kDescriptorSignatureName, signature);
  const std::string package = "MZ package " + std::to_string(count - 1);
  Write(site / kClientFolder / kPackagesFolderName / ("QuorvantisSupportHost-" + std::to_string(count - 1) + ".exe"),
        AsBytes(package));
  return change.tiles.at(ProofPath(last));
}

double PublishOnce(const std::filesystem::path& folder, const std::filesystem::path& site,
                   const std::filesystem::path& source, const std::filesystem::path& log_key) {
  Write(folder / "upload.exe", AsBytes("MZ the new release"));
  PublishRequest request;
  request.private_key = source / "tests" / "keys" / "test_update_key.pem";
  request.site = site;
  request.version = "999.0";
  request.package = folder / "upload.exe";
  request.log_key = log_key;
  if (!log_key.empty()) {
    request.launcher_log_key = (source / "tests" / "keys" / "test_launcher_log_key.pem").string();
  }
  const auto start = Clock::now();
  PublishRelease(request);
  return MillisecondsSince(start);
}

void Measure(const std::filesystem::path& source, std::uint64_t count) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("qvs-log-bench-" + std::to_string(count));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  // The launchers' test log key names the log of the update host localhost.
  WriteNewLogKey("localhost/downloads/client/log", folder / "log.pem", folder / "log.vkey", false, {});
  const LogSigningKey log_key = LoadLogKey(folder / "log.pem", {});
  const LogVerifier verifier = ReadLogVerifiers(folder / "log.vkey").front();
  const std::unique_ptr<SigningKey> update_key =
      OpenSigningKey((source / "tests" / "keys" / "test_update_key.pem").string());
  const std::unique_ptr<SigningKey> launcher_log_key =
      OpenSigningKey((source / "tests" / "keys" / "test_launcher_log_key.pem").string());
  const LogKeySet keys = {verifier, VerifierOf(log_key.origin, launcher_log_key->public_key())};

  auto start = Clock::now();
  const ByteBuffer proof = LayOutLoggedSite(folder / "site", count - 1, *update_key, log_key, *launcher_log_key);
  const double laid_out = MillisecondsSince(start);

  // A launcher's check of a new release's proof, with the launcher's own code.
  const SiteLog before = ReadSiteLog(folder / "site", keys);
  start = Clock::now();
  const std::uint64_t proven = VerifyEntryProof(proof, before.entries.back(), keys, "the proof");
  const double proof_check = MillisecondsSince(start);
  std::filesystem::create_directories(folder / "plain");
  const double plain = PublishOnce(folder, folder / "plain", source, {});
  const double logged = PublishOnce(folder, folder / "site", source, folder / "log.pem");

  start = Clock::now();
  const SiteLog log = ReadSiteLog(folder / "site", keys, true);
  const double site_check = MillisecondsSince(start);

  // check: the tiles an inclusion proof of the last entry and a consistency proof need.
  const std::uint64_t old_size = log.checkpoint.size / 2;
  const TreeHash old_root = RootOf(LeafHashes(std::span<const ByteBuffer>(log.entries).first(old_size)));
  std::uint64_t tiles_read = 0;
  std::uint64_t bytes_read = 0;
  start = Clock::now();
  TiledTree tree(log.checkpoint.size, [&](const std::string& path, std::uint64_t limit) {
    ++tiles_read;
    ByteBuffer bytes = ReadNamedFile(folder / "site" / kLogFolder / path, limit);
    bytes_read += bytes.size();
    return bytes;
  });
  const std::uint64_t last = log.checkpoint.size - 1;
  const bool included = VerifyInclusion(last, log.checkpoint.size, LeafHash(log.entries.back()),
                                        tree.InclusionProof(last), log.checkpoint.root);
  const bool consistent =
      VerifyConsistency(old_size, log.checkpoint.size, old_root, log.checkpoint.root, tree.ConsistencyProof(old_size));
  const double check = MillisecondsSince(start);

  // audit-log: every bundle parsed, the root recomputed, every entry verified.
  std::uint64_t bundle_bytes = 0;
  start = Clock::now();
  const std::vector<ByteBuffer> entries = ReadEntries(
      log.checkpoint.size,
      [&](const std::string& path, std::uint64_t limit) {
        ByteBuffer bytes = ReadNamedFile(folder / "site" / kLogFolder / path, limit);
        bundle_bytes += bytes.size();
        return bytes;
      },
      "");
  std::uint64_t verified = 0;
  for (const ByteBuffer& entry : entries) {
    const ByteView view(entry);
    VerifySignedDescriptor(update_key->public_key(), view.first(entry.size() - kSignatureSize),
                           view.last(kSignatureSize));
    ++verified;
  }
  const bool root_matches = RootOf(LeafHashes(entries)) == log.checkpoint.root;
  const double audit = MillisecondsSince(start);

  std::printf(
      "%llu entries (the last one by the measured publish): site laid out in %.0f ms; publish %.1f ms with the log, "
      "%.1f ms "
      "without;\n  verify-site's log check %.1f ms; check's proofs %.2f ms, %llu tiles, %llu bytes (inclusion %s, "
      "consistency with %llu %s);\n  audit-log's work %.1f ms: %llu bundle bytes, %llu entries verified, root %s;\n"
      "  the proof launchers fetch at %llu entries: %zu bytes (%zu inclusion hashes), checked in %.2f ms\n",
      static_cast<unsigned long long>(log.checkpoint.size), laid_out, logged, plain, site_check, check,
      static_cast<unsigned long long>(tiles_read), static_cast<unsigned long long>(bytes_read),
      included ? "verified" : "FAILED", static_cast<unsigned long long>(old_size), consistent ? "verified" : "FAILED",
      audit, static_cast<unsigned long long>(bundle_bytes), static_cast<unsigned long long>(verified),
      root_matches ? "matches" : "DIFFERS", static_cast<unsigned long long>(proven), proof.size(),
      InclusionHashCount(proof), proof_check);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qvs

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qvs-log-bench SOURCE_DIR [ENTRIES...]\n");
    return 2;
  }
  std::vector<std::uint64_t> counts;
  for (int i = 2; i < argc; ++i) {
    counts.push_back(std::max<std::uint64_t>(2, std::stoull(argv[i])));
  }
  if (counts.empty()) {
    counts = {10, 1000, 10000};
  }
  for (const std::uint64_t count : counts) {
    qvs::Measure(argv[1], count);
  }
  return 0;
}
