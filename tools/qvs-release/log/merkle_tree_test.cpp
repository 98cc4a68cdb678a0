#include "tools/qvs-release/log/merkle_tree.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>

#include "common/launcher_failure.h"
#include "tests/support/test_files.h"
#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/key_factory.h"
#include "tools/qvs-release/keys/signing.h"
#include "tools/qvs-release/log/checkpoint.h"
#include "tools/qvs-release/log/site_log.h"
#include "trust/log_proof.h"

namespace qvs {
namespace {

std::vector<ByteBuffer> Entries(std::uint64_t count) {
  std::vector<ByteBuffer> entries;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string text = "entry " + std::to_string(i) + std::string(i % 7, '+');
    entries.emplace_back(text.begin(), text.end());
  }
  return entries;
}

TreeHash RootOfEntries(const std::vector<ByteBuffer>& entries, std::uint64_t count) {
  std::vector<TreeHash> leaves;
  for (std::uint64_t i = 0; i < count; ++i) {
    leaves.push_back(LeafHash(entries[i]));
  }
  return RootOf(leaves);
}

TiledTree TreeOver(const std::map<std::string, ByteBuffer>& tiles, std::uint64_t size) {
  return TiledTree(size, [&tiles](const std::string& path, std::uint64_t) { return tiles.at(path); });
}

// The launcher's inclusion check agrees with the tool's tree for every size a first log reaches:
// each last leaf, and the first, proves with the tool's proof, and neither another leaf nor one
// hash changed does.
TEST(TiledTree, TheLaunchersInclusionCheckAcceptsTheToolsProofsForEverySize) {
  const std::vector<ByteBuffer> entries = Entries(601);
  const auto sha256 = [](ByteView bytes) { return Sha256Of(bytes); };
  for (std::uint64_t size = 1; size <= 600; ++size) {
    const std::map<std::string, ByteBuffer> tiles = TilesOf(std::span<const ByteBuffer>(entries).first(size));
    TiledTree tree = TreeOver(tiles, size);
    const TreeHash root = tree.Root();
    for (const std::uint64_t index : {size - 1, std::uint64_t{0}}) {
      std::vector<TreeHash> proof = tree.InclusionProof(index);
      const TreeHash leaf = LeafHash(entries[index]);
      ASSERT_TRUE(VerifyLogInclusion(index, size, leaf, proof, root, sha256)) << size << " " << index;
      EXPECT_FALSE(VerifyLogInclusion(index, size, LeafHash(entries[size]), proof, root, sha256)) << size;
      if (!proof.empty()) {
        proof.front()[31] ^= 1;
        EXPECT_FALSE(VerifyLogInclusion(index, size, leaf, proof, root, sha256)) << size << " " << index;
      }
    }
  }
}

TEST(TilePath, GroupsTheIndexInThreesAndNamesPartialTiles) {
  const struct {
    int level;
    std::uint64_t index;
    std::uint64_t width;
    const char* path;
  } cases[] = {{0, 0, 256, "tile/0/000"},
               {0, 5, 3, "tile/0/005.p/3"},
               {1, 1234, 256, "tile/1/x001/234"},
               {2, 1234067, 12, "tile/2/x001/x234/067.p/12"},
               {kEntryLevel, 1000, 256, "tile/entries/x001/000"}};
  for (const auto& c : cases) {
    EXPECT_EQ(TilePath(c.level, c.index, c.width), c.path);
  }
}

// Proofs made from the served tiles verify against the root of the entries, across full and
// partial tiles of levels 0 and 1; a proof for another leaf or another root does not.
TEST(TiledTree, ProofsFromTilesVerifyAgainstTheRoot) {
  const std::vector<ByteBuffer> entries = Entries(601);
  for (const std::uint64_t size : {1u, 2u, 3u, 7u, 255u, 256u, 257u, 511u, 512u, 513u, 600u}) {
    const std::vector<ByteBuffer> logged(entries.begin(), entries.begin() + size);
    const std::map<std::string, ByteBuffer> tiles = TilesOf(logged);
    TiledTree tree = TreeOver(tiles, size);
    const TreeHash root = RootOfEntries(entries, size);
    ASSERT_EQ(tree.Root(), root) << size;
    for (const std::uint64_t index : {std::uint64_t{0}, size / 2, size - 1}) {
      const std::vector<TreeHash> proof = tree.InclusionProof(index);
      EXPECT_TRUE(VerifyInclusion(index, size, LeafHash(entries[index]), proof, root)) << size << " " << index;
      EXPECT_FALSE(VerifyInclusion(index, size, LeafHash(entries[size]), proof, root)) << size << " " << index;
      if (!proof.empty()) {
        std::vector<TreeHash> tampered = proof;
        tampered.back()[0] ^= 1;
        EXPECT_FALSE(VerifyInclusion(index, size, LeafHash(entries[index]), tampered, root)) << size << " " << index;
      }
    }
    for (const std::uint64_t old_size : {std::uint64_t{1}, size / 3, size - 1, size}) {
      const std::vector<TreeHash> proof = tree.ConsistencyProof(old_size);
      const TreeHash old_root = RootOfEntries(entries, old_size);
      EXPECT_TRUE(VerifyConsistency(old_size, size, old_root, root, proof)) << old_size << " " << size;
      // A history rewritten behind the old size: the first entry was another.
      std::vector<ByteBuffer> rewritten = entries;
      rewritten[0].push_back('!');
      EXPECT_TRUE(old_size == 0 || !VerifyConsistency(old_size, size, RootOfEntries(rewritten, old_size), root, proof))
          << old_size << " " << size;
    }
  }
}

TEST(EntryBundle, RoundTripsAndRefusesWhatIsCutShortOrCountedWrong) {
  const std::vector<ByteBuffer> entries = Entries(3);
  const ByteBuffer bundle = EncodeEntryBundle(entries);
  EXPECT_EQ(ParseEntryBundle(bundle, 3, "b"), entries);
  EXPECT_THROW(ParseEntryBundle(bundle, 2, "b"), ToolError);
  EXPECT_THROW(ParseEntryBundle(ByteView(bundle).first(bundle.size() - 1), 3, "b"), ToolError);
  EXPECT_THROW(ParseEntryBundle(ByteView(bundle).first(1), 1, "b"), ToolError);
}

class Note : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteNewLogKey(kOrigin, folder_.path() / "log.pem", folder_.path() / "log.vkey", false, {});
    WriteNewLogKey(kOrigin, folder_.path() / "other.pem", folder_.path() / "other.vkey", false, {});
    key_ = LoadLogKey(folder_.path() / "log.pem", {});
  }
  static constexpr char kOrigin[] = "updates.example.com/downloads/client/log";
  testing::ScratchFolder folder_;
  LogSigningKey key_;
};

std::string SignedBy(const Checkpoint& checkpoint, EVP_PKEY* key) {
  const CheckpointSigner signers[] = {Ed25519Signer(checkpoint.origin, key)};
  return SignCheckpoint(checkpoint, signers);
}

TEST_F(Note, ASignedCheckpointOpensOnlyWithItsKeyAndUnchanged) {
  EXPECT_EQ(key_.origin, kOrigin);
  const LogVerifier verifier = ReadLogVerifiers(folder_.path() / "log.vkey").front();
  const Checkpoint checkpoint{kOrigin, 600, RootOfEntries(Entries(600), 600)};
  const std::string note = SignedBy(checkpoint, key_.key.get());
  EXPECT_EQ(OpenCheckpoint(AsBytes(note), verifier), checkpoint);
  // A witness's cosignature beside the log's is passed over.
  const std::string cosigned = note + "\xe2\x80\x94 witness.example AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n";
  EXPECT_EQ(OpenCheckpoint(AsBytes(cosigned), verifier), checkpoint);

  std::string other_size = note;
  other_size.replace(other_size.find("\n600\n"), 5, "\n601\n");
  const std::string refused[] = {
      other_size,                                                                        // the body changed
      note.substr(0, note.find("\n\n") + 2),                                             // no signature
      SignedBy(checkpoint, LoadLogKey(folder_.path() / "other.pem", {}).key.get()),      // another key
      "other.example/log\n1\n" + note.substr(note.find('\n', note.find('\n') + 1) + 1),  // another origin
  };
  for (const std::string& text : refused) {
    EXPECT_THROW(OpenCheckpoint(AsBytes(text), verifier), ToolError) << text;
  }
}

// A proof signed by both log keys satisfies the tool, and the launcher's own check for the P-256
// key; signed by another P-256 key, or for another entry, it is refused.
TEST_F(Note, AnEntrysProofHoldsForTheLaunchersKeyAlone) {
  const std::filesystem::path keys = std::filesystem::path(QVS_SOURCE_DIR) / "tests" / "keys";
  const std::unique_ptr<SigningKey> launchers = OpenSigningKey((keys / "test_launcher_log_key.pem").string());
  const std::unique_ptr<SigningKey> other = OpenSigningKey((keys / "other_launcher_log_key.pem").string());
  const std::vector<ByteBuffer> entries = Entries(5);
  const std::map<std::string, ByteBuffer> tiles = TilesOf(entries);
  TiledTree tree = TreeOver(tiles, entries.size());
  const Checkpoint checkpoint{kOrigin, entries.size(), tree.Root()};
  const auto proof_by = [&](SigningKey& key) {
    const CheckpointSigner signers[] = {Ed25519Signer(kOrigin, key_.key.get()), EcdsaSigner(kOrigin, key)};
    return ProofText(4, tree.InclusionProof(4), SignCheckpoint(checkpoint, signers));
  };
  const LogKeySet site_keys = {ReadLogVerifiers(folder_.path() / "log.vkey").front(),
                               VerifierOf(kOrigin, launchers->public_key())};
  const std::string good = proof_by(*launchers);
  EXPECT_EQ(VerifyEntryProof(AsBytes(good), entries[4], site_keys, "proof"), 5u);
  EXPECT_THROW(VerifyEntryProof(AsBytes(good), entries[3], site_keys, "proof"), ToolError);
  EXPECT_THROW(VerifyEntryProof(AsBytes(proof_by(*other)), entries[4], site_keys, "proof"), ToolError);
  // The Ed25519 key alone (an auditor's view) still reads the proof signed by another P-256 key.
  EXPECT_EQ(VerifyEntryProof(AsBytes(proof_by(*other)), entries[4], {site_keys.front()}, "proof"), 5u);

  // A launcher trusting a log key and its recovery key: either signs, and only the lines of
  // trusted keys are verified, so the ordinary checkpoint costs one verification.
  const std::unique_ptr<SigningKey> recovery = OpenSigningKey((keys / "test_log_recovery_key.pem").string());
  std::map<std::string, int> verified;
  const auto trusted = [&](const char* name, SigningKey& key) {
    const LogVerifier verifier = VerifierOf(kOrigin, key.public_key());
    return LogTrustKey{NoteKeyId(verifier.key_id.data()),
                       [&verified, name, &key](ByteView message, ByteView signature) {
                         ++verified[name];
                         return SignatureMatches(key.public_key(), message, signature);
                       }};
  };
  LogTrust trust;
  trust.origin = kOrigin;
  trust.keys = {trusted("log key", *launchers), trusted("recovery key", *recovery)};
  // An entry is the descriptor and its signature back to back: its leaf is the same either way.
  const Sha256Digest leaf = LogLeafHash(entries[4], {}, Sha256Of);
  struct Case {
    SigningKey* signer;
    bool accepted;
    std::map<std::string, int> verified;
  };
  const Case cases[] = {
      {launchers.get(), true, {{"log key", 1}}},
      {recovery.get(), true, {{"recovery key", 1}}},
      {other.get(), false, {}},
  };
  for (const Case& c : cases) {
    verified.clear();
    const std::string proof = proof_by(*c.signer);
    if (c.accepted) {
      EXPECT_EQ(VerifyLogProof(AsBytes(proof), leaf, trust, Sha256Of), 5u);
    } else {
      EXPECT_THROW(VerifyLogProof(AsBytes(proof), leaf, trust, Sha256Of), LauncherFailure);
    }
    EXPECT_EQ(verified, c.verified);
  }
}

TEST_F(Note, VerifierKeyTextRoundTripsAndItsKeyIdIsChecked) {
  const LogVerifier verifier = ReadLogVerifiers(folder_.path() / "log.vkey").front();
  EXPECT_EQ(ParseLogVerifier(verifier.Text()).public_key, verifier.public_key);
  // Key ids in upper-case hex, as other verifier key readers take them.
  std::string upper = verifier.Text();
  for (std::size_t i = upper.find('+') + 1; i < upper.find('+') + 9; ++i) {
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  }
  EXPECT_EQ(ParseLogVerifier(upper), verifier);
  // Origins signed-note forbids as key names: Unicode spaces, "+", malformed UTF-8.
  for (const char* origin :
       {"a\xc2\xa0z", "a\xe2\x80\x83z", "a\xc2\x85z", "a\xe3\x80\x80z", "a\xffz", "a+z", "a z", "\xc0\xafz"}) {
    EXPECT_FALSE(IsKeyName(origin)) << origin;
    EXPECT_THROW(WriteNewLogKey(origin, (folder_.path() / "bad.pem").string(), folder_.path() / "bad.vkey", false, {}),
                 UsageError)
        << origin;
  }
  EXPECT_TRUE(IsKeyName("updates.example.com/downloads/client/log"));
  EXPECT_TRUE(
      IsKeyName("b\xc3\xbc"
                "cher.example/log"));
  std::string wrong_id = verifier.Text();
  wrong_id[wrong_id.find('+') + 1] = wrong_id[wrong_id.find('+') + 1] == '0' ? '1' : '0';
  for (const std::string& text : {wrong_id, std::string("name+0000"), verifier.name}) {
    EXPECT_THROW(ParseLogVerifier(text), ToolError) << text;
  }
  // A file of a log's keys, one a line, as a site's qvs-log-key.vkey: all of one log, at least one.
  const std::string second = ReadLogVerifiers(folder_.path() / "other.vkey").front().Text();
  EXPECT_EQ(ParseLogVerifiers(verifier.Text() + "\n" + second + "\n", "keys").size(), 2u);
  const std::string other_log = VerifierOf("other.example/log", key_.key.get()).Text();
  for (const std::string& text : {std::string(), std::string("\n"), verifier.Text() + "\n" + other_log + "\n",
                                  verifier.Text() + "\n\n" + second}) {
    EXPECT_THROW(ParseLogVerifiers(text, "keys"), ToolError) << text;
  }
}

}  // namespace
}  // namespace qvs
