#include "tools/qvs-release/keys/signing_key.h"

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/signing.h"

namespace qvs {

SigningKey::SigningKey(std::string name, ByteBuffer public_blob)
    : name_(std::move(name)), public_blob_(std::move(public_blob)) {
  try {
    public_key_ = PublicKeyFromBlob(public_blob_);
  } catch (const ToolError& error) {
    throw ToolError(name_ + ": its public half is " + error.what());
  }
}

ByteBuffer SigningKey::Sign(ByteView message) {
  ByteBuffer signature = SignRaw(message);
  if (!SignatureMatches(public_key(), message, signature)) {
    throw ToolError(name_ + ": the new signature does not verify with the key's public half");
  }
  return signature;
}

}  // namespace qvs
