#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "common/byte_buffer.h"
#include "tools/qvs-release/keys/signing_key.h"

namespace qvs {

// The public key a site is published for: the 72-byte blob, in the site's root, outside what is
// served. Launchers built with another key refuse every release of the site, so a private key that
// does not match it is refused before anything is signed.
inline constexpr char kSiteKeyFileName[] = "qvs-site-key.pub";

// "SHA256:" and the hex SHA-256 of the 72-byte blob: what `sha256sum update-key.pub` prints.
std::string KeyFingerprint(ByteView blob);

// The site's key blob, or nothing when the site has no key file yet. Raises ToolError for a key
// file that cannot be read or holds no P-256 key.
std::optional<ByteBuffer> ReadSiteKey(const std::filesystem::path& site);

// Raises ToolError naming both fingerprints unless `expected` is the public half of the signing
// key. `source` says where `expected` comes from, e.g. "--public-key FILE".
void RequireMatchingKey(const SigningKey& key, ByteView expected, const std::string& source);

// The key the site is published for, decided under the site's lock: its key file; or, on the
// first publish, `given` (--public-key, named by `given_source`, which the signing key must match)
// or the signing key's own half. A
// site published before it had a key file is taken over only by the key that signed its current
// descriptor. Returns the blob to write as the site's first key file, if any.
std::optional<ByteBuffer> DecideSiteKey(const std::filesystem::path& site, const SigningKey& key,
                                        const ByteBuffer* given, const std::string& given_source);

// The root of the site that `file` lies in: the nearest folder above it holding a site key file.
std::optional<std::filesystem::path> EnclosingSite(const std::filesystem::path& file);

}  // namespace qvs
