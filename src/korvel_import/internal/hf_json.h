#ifndef KORVEL_IMPORT_INTERNAL_HF_JSON_H_
#define KORVEL_IMPORT_INTERNAL_HF_JSON_H_

#include <string>
#include <string_view>

#include "absl/strings/str_format.h"
#include "nlohmann/json.hpp"

// Non-throwing accessors for the parts of a tokenizer.json document that the
// importer reads. Private to the importer; not installed.

namespace korvel::import::hf {

using Json = nlohmann::json;

// The member `key` of `object`, or null when `object` is not an object, lacks
// the member, or holds JSON null there.
inline const Json* Member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

// The string member `key`, or null when it is absent or not a string.
inline const std::string* StringMember(const Json& object, const char* key) {
  const Json* value = Member(object, key);
  if (value == nullptr || !value->is_string()) return nullptr;
  return &value->get_ref<const std::string&>();
}

// True when the member `key` is the boolean true.
inline bool FlagMember(const Json& object, const char* key) {
  const Json* value = Member(object, key);
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

// The "type" of a component such as a normalizer or pre-tokenizer, or "" when
// it has none.
inline std::string ComponentType(const Json& component) {
  const std::string* type = StringMember(component, "type");
  return type == nullptr ? std::string() : *type;
}

// `text` in double quotes for a one-line message: control characters,
// quotes and backslashes escaped (other UTF-8 kept), cut after 40 bytes.
inline std::string Quoted(std::string_view text) {
  constexpr size_t kShown = 40;
  std::string out = "\"";
  for (const char c : text.substr(0, kShown)) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += absl::StrFormat("\\x%02X", byte);
    } else {
      out += c;
    }
  }
  out += text.size() > kShown ? "\"..." : "\"";
  return out;
}

// What korvel imports, said after every refusal of a component.
inline constexpr char kWhatKorvelImports[] =
    "; korvel imports score-ordered BPE (with byte fallback, or byte-level) "
    "and unigram tokenizers (see korvel import --help)";

}  // namespace korvel::import::hf

#endif  // KORVEL_IMPORT_INTERNAL_HF_JSON_H_
