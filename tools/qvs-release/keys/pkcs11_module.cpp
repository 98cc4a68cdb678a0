#include "tools/qvs-release/keys/pkcs11_module.h"

#include <array>
#include <cstdio>
#include <utility>

#include "tools/qvs-release/base/tool_error.h"
#include "tools/qvs-release/keys/secret_input.h"

namespace qvs {
namespace {

// Token info fields are fixed-width and padded with blanks.
template <std::size_t size>
std::string Unpadded(const unsigned char (&field)[size]) {
  std::string text(reinterpret_cast<const char*>(field), size);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// "CKR_PIN_INCORRECT" and the like, or the number in hex for a code without a name here.
std::string Pkcs11ReturnName(ck_rv_t code) {
  static constexpr std::array<std::pair<ck_rv_t, const char*>, 22> kNames = {{
      {CKR_OK, "CKR_OK"},
      {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
      {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
      {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
      {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
      {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
      {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
      {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
      {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
      {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
      {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
      {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
      {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
      {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
      {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
      {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY"},
      {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
      {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
      {CKR_TOKEN_WRITE_PROTECTED, "CKR_TOKEN_WRITE_PROTECTED"},
      {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
      {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
      {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
  }};
  for (const auto& [known, name] : kNames) {
    if (known == code) {
      return name;
    }
  }
  char hex[32];
  std::snprintf(hex, sizeof(hex), "CKR 0x%lx", code);
  return hex;
}

}  // namespace

void ModuleFinalize::operator()(ck_function_list* functions) const noexcept { functions->C_Finalize(nullptr); }

Pkcs11Module::Pkcs11Module(const std::string& path) : path_(path) {
  library_.reset(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!library_) {
    const char* reason = ::dlerror();
    throw ToolError("PKCS#11 module " + path + ": cannot be loaded (" + (reason ? reason : "unknown reason") + ")");
  }
  auto get_function_list = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(library_.get(), "C_GetFunctionList"));
  if (get_function_list == nullptr) {
    throw ToolError("PKCS#11 module " + path + ": not a PKCS#11 module (it has no C_GetFunctionList)");
  }
  Check(get_function_list(&functions_), "C_GetFunctionList");
  if (functions_ == nullptr) {
    throw ToolError("PKCS#11 module " + path + ": C_GetFunctionList gave no functions");
  }
  const ck_rv_t initialised = functions_->C_Initialize(nullptr);
  if (initialised != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    Check(initialised, "C_Initialize");
    initialised_.reset(functions_);
  }
}

void Pkcs11Module::Check(ck_rv_t code, const std::string& what) const {
  if (code != CKR_OK) {
    throw ToolError("PKCS#11 module " + path_ + ": " + what + " failed (" + Pkcs11ReturnName(code) + ")");
  }
}

std::vector<Pkcs11Module::Token> Pkcs11Module::Tokens() const {
  std::vector<ck_slot_id_t> slots;
  for (;;) {
    unsigned long count = 0;
    Check(functions_->C_GetSlotList(1, nullptr, &count), "C_GetSlotList");
    slots.resize(count);
    const ck_rv_t listed = functions_->C_GetSlotList(1, slots.data(), &count);
    if (listed == CKR_BUFFER_TOO_SMALL) {
      continue;  // a token arrived between the two calls
    }
    Check(listed, "C_GetSlotList");
    slots.resize(count);
    break;
  }
  std::vector<Token> tokens;
  for (const ck_slot_id_t slot : slots) {
    Token token{slot, {}, {}, {}, {}, {}};
    const ck_rv_t got = functions_->C_GetTokenInfo(slot, &token.info);
    if (got == CKR_TOKEN_NOT_PRESENT || got == CKR_TOKEN_NOT_RECOGNIZED) {
      continue;  // removed meanwhile, or unusable
    }
    Check(got, "C_GetTokenInfo");
    if ((token.info.flags & CKF_TOKEN_INITIALIZED) == 0) {
      continue;  // a free slot, holding no keys
    }
    token.label = Unpadded(token.info.label);
    token.manufacturer = Unpadded(token.info.manufacturer_id);
    token.model = Unpadded(token.info.model);
    token.serial = Unpadded(token.info.serial_number);
    tokens.push_back(std::move(token));
  }
  return tokens;
}

Pkcs11Session::Pkcs11Session(const Pkcs11Module& module, const Pkcs11Module::Token& token, bool read_write)
    : module_(module), label_(token.label) {
  const ck_flags_t flags = CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0);
  module_.Check(module_.functions().C_OpenSession(token.slot, flags, nullptr, nullptr, &session_),
                "C_OpenSession on token \"" + label_ + "\"");
}

Pkcs11Session::~Pkcs11Session() {
  if (logged_in_) {
    module_.functions().C_Logout(session_);
  }
  module_.functions().C_CloseSession(session_);
}

void Pkcs11Session::Login(const Secret* pin) {
  auto* text = pin ? reinterpret_cast<unsigned char*>(const_cast<char*>(pin->text().data())) : nullptr;
  const ck_rv_t code = module_.functions().C_Login(session_, CKU_USER, text, pin ? pin->text().size() : 0);
  if (code == CKR_USER_ALREADY_LOGGED_IN) {
    return;  // another session of this process did; the login is not ours to end
  }
  if (code == CKR_PIN_INCORRECT || code == CKR_PIN_LEN_RANGE) {
    throw ToolError("token \"" + label_ + "\": wrong PIN (" + Pkcs11ReturnName(code) + ")");
  }
  if (code == CKR_PIN_LOCKED) {
    throw ToolError("token \"" + label_ + "\": the PIN is locked after too many wrong tries (CKR_PIN_LOCKED)");
  }
  module_.Check(code, "C_Login on token \"" + label_ + "\"");
  logged_in_ = true;
}

std::vector<ck_object_handle_t> Pkcs11Session::Find(std::vector<ck_attribute> match) const {
  ck_function_list& functions = module_.functions();
  module_.Check(functions.C_FindObjectsInit(session_, match.data(), match.size()), "C_FindObjectsInit");
  ScopeExit end([&] { functions.C_FindObjectsFinal(session_); });
  std::vector<ck_object_handle_t> found;
  for (;;) {
    std::array<ck_object_handle_t, 16> batch{};
    unsigned long count = 0;
    module_.Check(functions.C_FindObjects(session_, batch.data(), batch.size(), &count), "C_FindObjects");
    found.insert(found.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(count));
    if (count < batch.size()) {
      return found;
    }
  }
}

std::optional<ByteBuffer> Pkcs11Session::Attribute(ck_object_handle_t object, ck_attribute_type_t type) const {
  ck_attribute attribute{type, nullptr, 0};
  ck_rv_t code = module_.functions().C_GetAttributeValue(session_, object, &attribute, 1);
  if (code == CKR_ATTRIBUTE_SENSITIVE || code == CKR_ATTRIBUTE_TYPE_INVALID ||
      attribute.value_len == static_cast<unsigned long>(-1)) {
    return std::nullopt;
  }
  module_.Check(code, "C_GetAttributeValue");
  ByteBuffer value(attribute.value_len);
  attribute.value = value.data();
  code = module_.functions().C_GetAttributeValue(session_, object, &attribute, 1);
  module_.Check(code, "C_GetAttributeValue");
  value.resize(attribute.value_len);
  return value;
}

ByteBuffer Pkcs11Session::Sign(ck_object_handle_t key, ck_mechanism_type_t mechanism, ByteView data) const {
  ck_mechanism chosen{mechanism, nullptr, 0};
  module_.Check(module_.functions().C_SignInit(session_, &chosen, key), "C_SignInit");
  // Room for the widest ECDSA signature (P-521); a P-256 key fills 64 bytes.
  ByteBuffer signature(132);
  unsigned long length = signature.size();
  module_.Check(module_.functions().C_Sign(session_, const_cast<unsigned char*>(data.data()), data.size(),
                                           signature.data(), &length),
                "C_Sign");
  signature.resize(length);
  return signature;
}

std::pair<ck_object_handle_t, ck_object_handle_t> Pkcs11Session::GenerateKeyPair(
    ck_mechanism_type_t mechanism, std::vector<ck_attribute> public_template,
    std::vector<ck_attribute> private_template) const {
  ck_mechanism chosen{mechanism, nullptr, 0};
  ck_object_handle_t public_key = 0;
  ck_object_handle_t private_key = 0;
  module_.Check(module_.functions().C_GenerateKeyPair(session_, &chosen, public_template.data(), public_template.size(),
                                                      private_template.data(), private_template.size(), &public_key,
                                                      &private_key),
                "C_GenerateKeyPair on token \"" + label_ + "\"");
  return {public_key, private_key};
}

void Pkcs11Session::Destroy(ck_object_handle_t object) const noexcept {
  module_.functions().C_DestroyObject(session_, object);
}

}  // namespace qvs
