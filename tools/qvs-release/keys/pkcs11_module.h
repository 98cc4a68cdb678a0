#pragma once

// The raw PKCS#11 interface of a token's module, loaded at run time. Only this file and its users
// include the interface header; its lower-case names (CRYPTOKI_GNU) define no macros such as `value`.
#define CRYPTOKI_GNU 1
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/scope_guard.h"

namespace qvs {

class Secret;

struct ModuleFinalize {
  void operator()(ck_function_list* functions) const noexcept;
};

// A module loaded (dlopen) and initialised; finalised and unloaded when it goes out of scope.
class Pkcs11Module {
 public:
  // Raises ToolError naming the module when it cannot be loaded or initialised.
  explicit Pkcs11Module(const std::string& path);
  Pkcs11Module(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(const Pkcs11Module&) = delete;

  const std::string& path() const { return path_; }
  ck_function_list& functions() const { return *functions_; }

  struct Token {
    ck_slot_id_t slot;
    ck_token_info info;
    std::string label;  // without the padding
    std::string manufacturer;
    std::string model;
    std::string serial;
  };
  // The initialised tokens present in the module's slots.
  std::vector<Token> Tokens() const;

  // Raises ToolError "PKCS#11 module PATH: WHAT failed (CKR_...)" unless `code` is CKR_OK.
  void Check(ck_rv_t code, const std::string& what) const;

 private:
  std::string path_;
  ScopedHandle<void*, ReleaseWith<dlclose>> library_;
  ck_function_list* functions_ = nullptr;
  // Declared after the library: finalised before it is unloaded.
  ScopedHandle<ck_function_list*, ModuleFinalize> initialised_;
};

// A session with one token; logged out and closed when it goes out of scope.
class Pkcs11Session {
 public:
  Pkcs11Session(const Pkcs11Module& module, const Pkcs11Module::Token& token, bool read_write);
  ~Pkcs11Session();
  Pkcs11Session(const Pkcs11Session&) = delete;
  Pkcs11Session& operator=(const Pkcs11Session&) = delete;

  // Logs in as the token's user with `pin`, or on the reader's own PIN pad when `pin` is null.
  // A wrong or locked PIN raises ToolError naming the token.
  void Login(const Secret* pin);
  std::vector<ck_object_handle_t> Find(std::vector<ck_attribute> match) const;
  // The attribute's value, or nothing when the object has no such attribute or keeps it secret.
  std::optional<ByteBuffer> Attribute(ck_object_handle_t object, ck_attribute_type_t type) const;
  // The token's raw signature of `data` by `mechanism`.
  ByteBuffer Sign(ck_object_handle_t key, ck_mechanism_type_t mechanism, ByteView data) const;
  // Returns the public and the private key's handles.
  std::pair<ck_object_handle_t, ck_object_handle_t> GenerateKeyPair(ck_mechanism_type_t mechanism,
                                                                    std::vector<ck_attribute> public_template,
                                                                    std::vector<ck_attribute> private_template) const;
  void Destroy(ck_object_handle_t object) const noexcept;

 private:
  const Pkcs11Module& module_;
  std::string label_;
  ck_session_handle_t session_ = 0;
  bool logged_in_ = false;
};

}  // namespace qvs
