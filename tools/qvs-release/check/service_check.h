#pragma once

#include <openssl/evp.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "tools/qvs-release/check/service_fetch.h"
#include "tools/qvs-release/check/service_log.h"
#include "trust/update_descriptor.h"

namespace qvs {

// The release that the service is held to: the three files of a local tree, already verified.
struct ExpectedRelease {
  std::filesystem::path site;
  UpdateDescriptorRecord record;
  ByteBuffer descriptor;
  ByteBuffer signature;
  ByteBuffer package;
};

// Reads the tree's descriptor, signature and the package it names, and verifies them with the
// launcher's rules; raises (with the file's name) when the tree is not a release launchers take.
ExpectedRelease ReadExpectedRelease(EVP_PKEY* key, const std::filesystem::path& site);

// One look at the service, as a launcher's refresh sees it.
struct ServiceReport {
  int exit_code = 1;                   // as verify: 0 match, 3 package mismatch, 1 anything else
  std::vector<std::string> resources;  // one line per request made
  std::vector<std::string> warnings;   // what breaks launchers or caches
  std::string verdict;
};

// Fetches the descriptor and the signature, verifies and parses, fetches the package it names and
// compares it, in the launcher's order and with its limits; then, with `expected`, requires the
// served bytes to be the local tree's.
// With `log`, the served pair must also be an entry of the service's release log (service_log.h),
// and a passing check records the served checkpoint as the log's new state.
ServiceReport CheckService(EVP_PKEY* key, EVP_PKEY* recovery_key, const ServiceAddress& service,
                           const ExpectedRelease* expected, const LogWatch* log = nullptr);

// "PATH: STATUS, N bytes; Cache-Control: ...; Content-Type: ...; Content-Encoding: ...; Age: ...".
std::string DescribeResource(const ServedResource& resource);

}  // namespace qvs
