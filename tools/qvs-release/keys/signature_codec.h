#pragma once

#include "common/byte_buffer.h"
#include "common/update_service_layout.h"

namespace qvs {

// The launcher's signature form: r then s, each 32 bytes, unsigned big-endian (kSignatureSize).
// OpenSSL's DER (X9.62 ECDSA-Sig-Value) to r||s; raises ToolError for anything else, such as
// trailing bytes or an integer wider than 32 bytes.
ByteBuffer DerToRawSignature(ByteView der);

// r||s to DER; raises ToolError unless `raw` is 64 bytes.
ByteBuffer RawToDerSignature(ByteView raw);

}  // namespace qvs
