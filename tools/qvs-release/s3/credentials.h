#pragma once

#include <string>

#include "tools/qvs-release/s3/aws_signature.h"

namespace qvs {

// The object store's credentials, read as S3 tools read them and never from the command line:
// from `file` when one is named (an AWS shared credentials file, in the section `profile`, or
// AWS_PROFILE's, or "default"), or else from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and
// AWS_SESSION_TOKEN. A refusal names what is missing and where, never a value.
AwsCredentials ReadAwsCredentials(const std::string* file, const std::string* profile);

}  // namespace qvs
