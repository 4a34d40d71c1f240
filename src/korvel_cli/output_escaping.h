#ifndef KORVEL_CLI_OUTPUT_ESCAPING_H_
#define KORVEL_CLI_OUTPUT_ESCAPING_H_

#include <string>
#include <string_view>

namespace korvel::cli {

// Appends `piece` so that a space-separated list of pieces stays readable and
// unambiguous: a backslash becomes "\\", tab, newline and carriage return
// become "\t", "\n" and "\r", and every other control character, space and
// DEL become "\xHH". Other bytes pass unchanged.
void AppendEscapedPiece(std::string_view piece, std::string* out);

// Appends `text` as a JSON string literal, quotes included. Valid UTF-8 passes
// unchanged apart from the escapes JSON requires; each byte that is not part
// of a valid UTF-8 character becomes U+FFFD, so the output is always valid
// JSON.
void AppendJsonString(std::string_view text, std::string* out);

}  // namespace korvel::cli

#endif  // KORVEL_CLI_OUTPUT_ESCAPING_H_
