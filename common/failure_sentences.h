#pragma once

namespace qvs {

// The launcher's failure sentences: what a user reads in its dialog after "The support host could
// not be started." and what --verify-package prints, word for word. The publisher tool reports
// the same failures in the same words, so both take them from here alone.

// The update descriptor and its signature.
inline constexpr char kDescriptorFormatUnsupported[] = "The update descriptor format is not supported.";
inline constexpr char kDescriptorNotNewlineTerminated[] = "The update descriptor is not newline-terminated.";
inline constexpr char kDescriptorIncomplete[] = "The update descriptor is incomplete.";
inline constexpr char kDescriptorFieldInvalid[] = "The update descriptor contains an invalid field.";
inline constexpr char kVersionInvalid[] = "The update version is invalid.";
inline constexpr char kPackagePathOutsideOrigin[] = "The update package path is outside the trusted support origin.";
inline constexpr char kPackageSizeInvalid[] = "The update package size is invalid.";
inline constexpr char kPackageHashInvalid[] = "The update package hash is invalid.";
inline constexpr char kSignatureSizeInvalid[] = "The update signature has an invalid size.";
inline constexpr char kSignatureNotTrusted[] = "The update signature is not trusted.";
inline constexpr char kEmbeddedKeyInvalid[] = "The embedded update key is invalid.";
inline constexpr char kEcdsaUnavailable[] = "ECDSA verification is unavailable.";
inline constexpr char kSha256Unavailable[] = "SHA-256 is unavailable.";

// The release log and the launcher's memory of it.
inline constexpr char kNotInReleaseLog[] = "The support update is not in the release log.";
inline constexpr char kOlderThanSeen[] = "The support update is older than the release this launcher has seen.";

// The update service, as a launcher's request meets it.
inline constexpr char kRequestNotCreated[] = "The support update request could not be created.";
inline constexpr char kServiceUnreachable[] = "The support update service could not be reached.";
inline constexpr char kRequestFailed[] = "The support update request failed.";
inline constexpr char kUnexpectedResponse[] = "The support update service returned an unexpected response.";
inline constexpr char kDownloadTooLarge[] = "The support update exceeded its safe size limit.";
inline constexpr char kDownloadInterrupted[] = "The support update download was interrupted.";
inline constexpr char kDownloadIncomplete[] = "The support update download was incomplete.";

// Release files, the store and the package.
inline constexpr char kReleaseFileNotOpened[] = "A release file could not be opened.";
inline constexpr char kReleaseFileSizeInvalid[] = "A release file has an invalid size.";
inline constexpr char kReleaseFileNotRead[] = "A release file could not be read.";
inline constexpr char kPackageNotStored[] = "The update package could not be stored.";
inline constexpr char kPackageNotFlushed[] = "The update package could not be flushed.";
inline constexpr char kPackageNotActivated[] = "The update package could not be activated.";
inline constexpr char kHostDidNotMatch[] = "The downloaded support host did not match its signed descriptor.";

// The launcher itself.
inline constexpr char kWindowsFolderUnavailable[] = "A required Windows folder is unavailable.";
inline constexpr char kLauncherPathUnavailable[] = "The launcher path is unavailable.";
inline constexpr char kInstallFailed[] = "The launcher could not install itself.";
inline constexpr char kHostNotStarted[] = "The attended support host could not be started.";
inline constexpr char kLauncherFailedUnexpectedly[] = "The launcher failed unexpectedly.";

}  // namespace qvs
