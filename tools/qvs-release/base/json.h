#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvs {

// A JSON value for --json output, built in the order it is printed: one object per command run,
// so that a release pipeline reads the same facts as the text without parsing sentences.
class Json {
 public:
  Json() = default;  // null
  Json(bool value);  // NOLINT: a value converts as it reads
  Json(std::uint64_t value);
  Json(int value);
  Json(std::string value);
  Json(const char* value);
  static Json Array();
  static Json Object();

  Json& Add(Json value);                   // to an array
  Json& Set(std::string key, Json value);  // to an object, keeping the order of keys
  std::string Text() const;                // compact, UTF-8, strings escaped as RFC 8259 asks

 private:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind_ = Kind::kNull;
  bool bool_ = false;
  std::uint64_t number_ = 0;
  std::string string_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// A JSON array of strings.
Json JsonStrings(const std::vector<std::string>& values);

}  // namespace qvs
