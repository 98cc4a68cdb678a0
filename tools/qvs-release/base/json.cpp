#include "tools/qvs-release/base/json.h"

#include <cstdio>

namespace qvs {
namespace {

void AppendString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

Json::Json(bool value) : kind_(Kind::kBool), bool_(value) {}
Json::Json(std::uint64_t value) : kind_(Kind::kNumber), number_(value) {}
Json::Json(int value) : kind_(Kind::kNumber), number_(static_cast<std::uint64_t>(value)) {}
Json::Json(std::string value) : kind_(Kind::kString), string_(std::move(value)) {}
Json::Json(const char* value) : kind_(Kind::kString), string_(value) {}

Json Json::Array() {
  Json json;
  json.kind_ = Kind::kArray;
  return json;
}

Json Json::Object() {
  Json json;
  json.kind_ = Kind::kObject;
  return json;
}

Json& Json::Add(Json value) {
  items_.push_back(std::move(value));
  return *this;
}

Json& Json::Set(std::string key, Json value) {
  members_.emplace_back(std::move(key), std::move(value));
  return *this;
}

std::string Json::Text() const {
  std::string out;
  switch (kind_) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return bool_ ? "true" : "false";
    case Kind::kNumber:
      return std::to_string(number_);
    case Kind::kString:
      AppendString(out, string_);
      return out;
    case Kind::kArray:
      out.push_back('[');
      for (std::size_t i = 0; i < items_.size(); ++i) {
        out += (i == 0 ? "" : ",") + items_[i].Text();
      }
      out.push_back(']');
      return out;
    case Kind::kObject:
      out.push_back('{');
      for (std::size_t i = 0; i < members_.size(); ++i) {
        out += i == 0 ? "" : ",";
        AppendString(out, members_[i].first);
        out += ":" + members_[i].second.Text();
      }
      out.push_back('}');
      return out;
  }
  return out;
}

Json JsonStrings(const std::vector<std::string>& values) {
  Json array = Json::Array();
  for (const std::string& value : values) {
    array.Add(value);
  }
  return array;
}

}  // namespace qvs
