#include "tokenizer_json.h"

#include <cstdio>

namespace korvel::lite::testing {

using ::nlohmann::json;

json LlamaStyleBpeTokenizer(const std::vector<std::string>& pieces,
                            const std::vector<std::string>& merges) {
  constexpr char kWs[] = "\xE2\x96\x81";
  std::vector<std::string> all = {"<unk>", "<s>", "</s>"};
  for (int b = 0; b < 256; ++b) {
    char name[8];
    std::snprintf(name, sizeof(name), "<0x%02X>", b);
    all.push_back(name);
  }
  all.insert(all.end(), pieces.begin(), pieces.end());
  json vocab = json::object();
  for (size_t id = 0; id < all.size(); ++id) vocab[all[id]] = id;
  json added = json::array();
  for (int id = 0; id < 3; ++id) {
    added.push_back({{"id", id}, {"content", all[id]}, {"special", true}});
  }
  return {{"version", "1.0"},
          {"added_tokens", added},
          {"normalizer",
           {{"type", "Sequence"},
            {"normalizers",
             {{{"type", "Prepend"}, {"prepend", kWs}},
              {{"type", "Replace"},
               {"pattern", {{"String", " "}}},
               {"content", kWs}}}}}},
          {"pre_tokenizer", nullptr},
          {"post_processor",
           {{"type", "TemplateProcessing"},
            {"single",
             {{{"SpecialToken", {{"id", "<s>"}, {"type_id", 0}}}},
              {{"Sequence", {{"id", "A"}, {"type_id", 0}}}}}}}},
          {"model",
           {{"type", "BPE"},
            {"dropout", nullptr},
            {"unk_token", "<unk>"},
            {"fuse_unk", true},
            {"byte_fallback", true},
            {"vocab", vocab},
            {"merges", merges}}}};
}

}  // namespace korvel::lite::testing
