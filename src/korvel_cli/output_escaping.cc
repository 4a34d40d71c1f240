#include "korvel_cli/output_escaping.h"

#include "absl/strings/str_format.h"
#include "korvel_tokenizer/utf8_repair.h"

namespace korvel::cli {

void AppendEscapedPiece(std::string_view piece, std::string* out) {
  for (const char c : piece) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out->append("\\\\");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      default:
        if (byte <= 0x20 || byte == 0x7F) {
          absl::StrAppendFormat(out, "\\x%02x", byte);
        } else {
          out->push_back(c);
        }
    }
  }
}

void AppendJsonString(std::string_view text, std::string* out) {
  out->push_back('"');
  size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x80) {
      const int length = tokenizer::Utf8CharLength(text.substr(pos));
      if (length > 0) {
        out->append(text.substr(pos, length));
        pos += length;
      } else {
        out->append(tokenizer::kUtf8Replacement);
        ++pos;
      }
      continue;
    }
    if (byte == '"' || byte == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(byte));
    } else if (byte < 0x20) {
      absl::StrAppendFormat(out, "\\u%04x", byte);
    } else {
      out->push_back(static_cast<char>(byte));
    }
    ++pos;
  }
  out->push_back('"');
}

}  // namespace korvel::cli
