#ifndef KORVEL_IMPORT_TIKTOKEN_IMPORT_H_
#define KORVEL_IMPORT_TIKTOKEN_IMPORT_H_

#include <string>
#include <string_view>
#include <vector>

#include "absl/status/statusor.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::import {

// Turns a tiktoken rank file (one line per token: the token's bytes in
// base64, a space, its rank; Llama-3's original tokenizer.model is one) into
// a byte-level BPE full model that encodes text as tiktoken does.
//
// `pattern` names the pre-tokenizer: "gpt2", "cl100k" (also "llama3"),
// "qwen2" or "o200k", or is itself a regular expression. `specials` lists
// the special tokens as "TEXT=ID,TEXT=ID,..." (the last '=' of an item ends
// its text); they become CONTROL pieces, found in text only when special
// tokens are parsed, and ids between the ranks and them that name nothing
// become UNUSED pieces. The begin and end pieces are the first of
// <|begin_of_text|> and <|end_of_text|> or <|endoftext|> among them.
//
// Ranks must be 0 to n-1, each once, tokens distinct, and every single byte
// a token; a piece's score is -(its rank), and a pre-token that is itself a
// token becomes that token. Anything else gives kInvalidArgument with a
// one-line message naming the line or item. A token holding the byte 0 among
// other bytes becomes UNUSED, with one line in `warnings` when not null.
absl::StatusOr<korvel::ModelProto> ImportTiktoken(
    std::string_view ranks, std::string_view pattern, std::string_view specials,
    std::vector<std::string>* warnings = nullptr);

}  // namespace korvel::import

#endif  // KORVEL_IMPORT_TIKTOKEN_IMPORT_H_
