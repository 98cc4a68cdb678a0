#pragma once

#include <cstddef>
#include <cstdint>

namespace qvs {

// The update service as launchers meet it and as the publisher lays it out: where each file lies
// below the service's root, how a launcher asks for it and how large it may be. The launcher, the
// publisher tool and the floor program take these from here alone.

// The folder of the current release below the service's root (the publisher's site folder), and
// the names inside it.
inline constexpr char kClientFolder[] = "downloads/client";
inline constexpr char kPackagesFolderName[] = "packages";
inline constexpr char kDescriptorName[] = "stable.manifest";
inline constexpr char kDescriptorSignatureName[] = "stable.manifest.sig";
// The publisher's release log beside the release, for auditors. Of it a launcher built with the
// log's key asks only for the proof of a release it has not stored yet: below kProofFolderName,
// named by the 64 lower-case hex digits of the release's leaf hash, and never changed.
inline constexpr char kLogFolder[] = "downloads/client/log";
inline constexpr char kLogResourcePath[] = "/downloads/client/log/";
inline constexpr char kCheckpointName[] = "checkpoint";
inline constexpr char kProofFolderName[] = "proof";
inline constexpr char kProofResourcePath[] = "/downloads/client/log/proof/";

// What a launcher requests: the descriptor, its signature, and a package below this prefix.
inline constexpr char kDescriptorResourcePath[] = "/downloads/client/stable.manifest";
inline constexpr char kSignatureResourcePath[] = "/downloads/client/stable.manifest.sig";
inline constexpr char kPackagePathPrefix[] = "/downloads/client/packages/";
inline constexpr char kLauncherUserAgent[] = "Quorvantis Support Native Launcher/1.0";

// Size limits, inclusive, the same online, in the release store and in verification.
inline constexpr std::uint64_t kDescriptorSizeLimit = 4096;
inline constexpr std::uint64_t kSignatureSizeLimit = 64;
inline constexpr std::uint64_t kPackageSizeLimit = 16777216;
inline constexpr std::uint64_t kProofSizeLimit = 8192;

// A descriptor signature: ECDSA P-256, r then s, 32 bytes each.
inline constexpr std::size_t kSignatureSize = 64;

// An ASCII constant above as the wide text Windows takes: Widen(kLauncherUserAgent).text.
template <std::size_t N>
struct WideText {
  wchar_t text[N];
};

template <std::size_t N>
constexpr WideText<N> Widen(const char (&narrow)[N]) {
  WideText<N> wide{};
  for (std::size_t index = 0; index < N; ++index) {
    wide.text[index] = static_cast<wchar_t>(narrow[index]);
  }
  return wide;
}

}  // namespace qvs
