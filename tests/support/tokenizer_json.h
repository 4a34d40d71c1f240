#ifndef KORVEL_TESTS_SUPPORT_TOKENIZER_JSON_H_
#define KORVEL_TESTS_SUPPORT_TOKENIZER_JSON_H_

// Small Hugging Face tokenizer.json documents for the importer's tests and
// the importer fuzzer's seeds.

#include <string>
#include <vector>

#include "nlohmann/json.hpp"

namespace korvel::lite::testing {

// A LLaMA-style BPE tokenizer.json: the special pieces <unk>, <s>, </s> (ids
// 0 to 2, also as added tokens), the byte pieces <0x00> ... <0xFF> (ids 3 to
// 258), then `pieces` from id 259 on; `merges` in order, each "left right".
// The normalizer prepends the whitespace symbol and replaces spaces by it, the
// post-processor puts <s> first, and byte fallback is on.
nlohmann::json LlamaStyleBpeTokenizer(const std::vector<std::string>& pieces,
                                      const std::vector<std::string>& merges);

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_SUPPORT_TOKENIZER_JSON_H_
