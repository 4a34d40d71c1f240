#include "text_models.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "full_model_builder.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/model.h"
#include "test_models.h"

namespace korvel::lite::fuzzing {
namespace {

using testing::FullPieceSpec;
using Type = korvel::ModelProto::Piece;

constexpr char kWs[] = "\xE2\x96\x81";  // The whitespace symbol.

std::string Ws(const std::string& text) { return kWs + text; }

std::vector<FullPieceSpec> UnigramPieces() {
  std::vector<FullPieceSpec> pieces = {
      {"<unk>", 0.0f, Type::UNKNOWN},
      {"<s>", 0.0f, Type::CONTROL},
      {"</s>", 0.0f, Type::CONTROL},
      {"<sep>", 0.0f, Type::USER_DEFINED},
      {"[MASK]", 0.0f, Type::USER_DEFINED},
      {"New York", 0.0f, Type::USER_DEFINED},
      {Ws(kWs), 0.0f, Type::USER_DEFINED},
      {"<0x41>", 0.0f, Type::BYTE},
      {"zz", -1.0f, Type::UNUSED},
      {kWs, -2.0f},
      {"a" + Ws("b"), -4.0f},
  };
  for (char c = 'a'; c <= 'z'; ++c)
    pieces.push_back({std::string(1, c), -6.0f});
  for (char c = 'A'; c <= 'Z'; c += 3)
    pieces.push_back({std::string(1, c), -7.0f});
  for (char c = '0'; c <= '9'; ++c)
    pieces.push_back({std::string(1, c), -7.5f});
  for (const char* text : {".", ",", "!", "?", "'", "-", "(", ")"}) {
    pieces.push_back({text, -7.0f});
  }
  const std::vector<std::pair<std::string, float>> words = {
      {Ws("the"), -3.0f},
      {Ws("a"), -3.5f},
      {"he", -4.5f},
      {"llo", -4.0f},
      {Ws("Hello"), -2.5f},
      {Ws("world"), -2.8f},
      {"wor", -5.0f},
      {"ld", -4.8f},
      {Ws("New"), -4.0f},
      {"ing", -3.9f},
      {Ws("in"), -3.7f},
      {"er", -4.1f},
      {Ws("fi"), -4.4f},
      {"fi", -4.6f},
      {"TEL", -5.5f},
      {"...", -5.0f},
      {"\xC3\xA9", -6.0f},
      {"\xC3\xA8", -6.0f},
      {"\xC3\xBC", -6.0f},
      {"\xC3\xB6", -6.0f},
      {"\xC3\x9F", -6.0f},
      {"\xC3\xA7", -6.0f},
      {"\xC3\x85", -6.2f},
      {Ws("Gr\xC3\xBC"), -5.0f},
      {"\xC3\x9F"
       "e",
       -5.1f},
      // Cyrillic.
      {"\xD0\xBF", -6.0f},
      {"\xD1\x80", -6.0f},
      {"\xD0\xB8", -6.0f},
      {"\xD0\xB2", -6.0f},
      {"\xD0\xB5", -6.0f},
      {"\xD1\x82", -6.0f},
      {Ws("\xD0\x9F\xD1\x80\xD0\xB8"), -4.0f},
      {"\xD0\xB2\xD0\xB5\xD1\x82", -4.2f},
      // Japanese.
      {"\xE3\x81\x93", -6.0f},
      {"\xE3\x82\x93", -6.0f},
      {"\xE3\x81\xAB", -6.0f},
      {"\xE3\x81\xA1", -6.0f},
      {"\xE3\x81\xAF", -6.0f},
      {"\xE4\xB8\x96", -6.0f},
      {"\xE7\x95\x8C", -6.0f},
      {"\xE3\x83\x8F", -6.0f},
      {"\xE3\x83\x91", -6.0f},
      {"\xE3\x82\xAD\xE3\x83\xAD", -5.0f},
      {Ws("\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF"),
       -3.0f},
      {"\xE6\x97\xA5\xE6\x9C\xAC", -4.5f},
      // Greek and an emoji.
      {"\xCE\xB1", -6.0f},
      {"\xCE\xB2", -6.0f},
      {Ws("\xCE\xB1\xCE\xB2"), -4.0f},
      {"\xF0\x9F\x91\x8B", -6.5f},
  };
  for (const auto& [text, score] : words) pieces.push_back({text, score});
  return pieces;
}

std::vector<FullPieceSpec> BpePieces() {
  std::vector<FullPieceSpec> pieces = {
      {"<unk>", 0.0f, Type::UNKNOWN},
      {"<s>", 0.0f, Type::CONTROL},
      {"</s>", 0.0f, Type::CONTROL},
  };
  for (int b = 0; b < 256; ++b) {
    pieces.push_back(
        {ByteToPiece(static_cast<unsigned char>(b)), 0.0f, Type::BYTE});
  }
  for (const char* text : {"<mask>", "\xE2\x84\xA2", "@@"}) {
    pieces.push_back({text, 0.0f, Type::USER_DEFINED});
  }
  pieces.push_back({kWs, -1000.0f});
  for (char c = 'a'; c <= 'z'; ++c)
    pieces.push_back({std::string(1, c), -1000.0f});
  for (char c = 'A'; c <= 'Z'; c += 5)
    pieces.push_back({std::string(1, c), -1000.0f});
  for (const char* text :
       {"0", "1", "2", ".", ",", "!", "\xC3\xA9", "\xC3\xBC", "\xE3\x81\x93",
        "\xE3\x82\x93", "\xE4\xB8\x96", "\xE7\x95\x8C", "\xD0\xBF", "\xD1\x80",
        "\xD0\xB8", "\xD0\xB2", "\xCE\xB1", "\xCE\xB2"}) {
    pieces.push_back({text, -1000.0f});
  }
  // Merged pieces; a higher score merges first.
  const std::vector<std::pair<std::string, float>> merges = {
      {Ws("t"), -1.0f},
      {"he", -2.0f},
      {Ws("the"), -3.0f},
      {"ll", -4.0f},
      {"llo", -5.0f},
      {Ws("w"), -6.0f},
      {"or", -7.0f},
      {"orl", -8.0f},
      {"ld", -9.0f},
      {Ws("wor"), -10.0f},
      {Ws("world"), -11.0f},
      {Ws(kWs), -12.0f},
      {Ws(kWs) + Ws(kWs), -13.0f},
      {"in", -14.0f},
      {"ing", -15.0f},
      {"er", -16.0f},
      {Ws("a"), -17.0f},
      {"ab", 5.0f},
      {"bc", 7.0f},
      {"abc", 3.0f},
      {"xx", -18.0f},
      {"\xE3\x81\x93\xE3\x82\x93", -19.0f},
      {"\xD0\xBF\xD1\x80", -20.0f},
      {"\xD0\xBF\xD1\x80\xD0\xB8", -21.0f},
      {Ws("\xD0\xBF\xD1\x80\xD0\xB8"), -22.0f},
      {"\xC3\xA9t", -23.0f},
      {Ws("h"), -24.0f},
      {Ws("he"), -25.0f},
      {"ello", -26.0f},
      {Ws("hello"), -27.0f},
      // No merge reaches "qqq": it never encodes to itself.
      {"qqq", -28.0f},
      {std::string(130, 'a'), -29.0f},
  };
  for (const auto& [text, score] : merges) pieces.push_back({text, score});
  return pieces;
}

void SetNormalizer(int variant, korvel::ModelProto* model) {
  korvel::TrainerSpec* trainer = model->mutable_trainer_spec();
  if (variant == 4) return;
  korvel::NormalizerSpec* spec = model->mutable_normalizer_spec();
  spec->set_name("fuzz");
  if (variant == 0 || variant == 2) {
    const std::vector<uint8_t> charsmap =
        testing::BuildCharsMap(CharsMapRules());
    spec->set_precompiled_charsmap(charsmap.data(), charsmap.size());
  }
  spec->set_add_dummy_prefix(variant != 3);
  spec->set_remove_extra_whitespaces(variant == 0 || variant == 2);
  spec->set_escape_whitespaces(variant == 0 || variant == 1);
  trainer->set_treat_whitespace_as_suffix(variant == 2);
}

std::string Repack(const std::string& lite,
                   void (*change)(ModelProtoT* model)) {
  std::unique_ptr<ModelProtoT> model(GetModelProto(lite.data())->UnPack());
  change(model.get());
  return testing::Pack(*model);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> CharsMapRules() {
  return {
      {"\xEF\xBC\xA1", "A"},                         // Fullwidth A.
      {"\xEF\xBC\xA2", "B"},                         // Fullwidth B.
      {"\xEF\xBC\x91", "1"},                         // Fullwidth 1.
      {"\xEF\xAC\x81", "fi"},                        // Ligature fi.
      {"\xE2\x91\xA0", "1"},                         // Circled 1.
      {"\xE2\x84\xA1", "TEL"},                       // Telephone sign.
      {"\xE2\x80\xA6", "..."},                       // Ellipsis.
      {"\xE3\x8C\x94", "\xE3\x82\xAD\xE3\x83\xAD"},  // Square kiro.
      {"A\xCC\x8A", "\xC3\x85"},         // A + combining ring: A with ring.
      {"e\xCC\x81", "\xC3\xA9"},         // e + combining acute: e acute.
      {"\xEF\xBE\x8A", "\xE3\x83\x8F"},  // Half-width ha.
      {"\xEF\xBE\x8A\xEF\xBE\x9F", "\xE3\x83\x91"},  // Half-width pa.
      {"\xE2\x80\x8B", ""},    // Zero-width space: deleted.
      {"\xC2\xA0", " "},       // No-break space.
      {"\xE3\x80\x80", " "},   // Ideographic space.
      {"\xE2\x80\x83", "  "},  // Em space: two spaces.
      {"\t", " "},
      {"\n", " "},
  };
}

korvel::ModelProto TextFullModel(TextModelKind kind, int variant) {
  const bool bpe = kind == TextModelKind::kBpe;
  korvel::ModelProto model =
      testing::FullModel(bpe ? BpePieces() : UnigramPieces());
  korvel::TrainerSpec* trainer = model.mutable_trainer_spec();
  trainer->set_model_type(bpe ? korvel::TrainerSpec::BPE
                              : korvel::TrainerSpec::UNIGRAM);
  trainer->set_unk_id(0);
  trainer->set_byte_fallback(bpe);
  SetNormalizer(variant, &model);
  return model;
}

ConverterOptions TextConverterOptions() {
  ConverterOptions options;
  options.bigram_trie_for_bpe_only = false;
  return options;
}

std::string ConvertOrDie(const korvel::ModelProto& model,
                         const ConverterOptions& options) {
  absl::StatusOr<std::string> lite = ToFlatbuffer(model, options);
  if (!lite.ok()) {
    std::fprintf(stderr, "conversion failed: %s\n",
                 lite.status().ToString().c_str());
    std::abort();
  }
  return *std::move(lite);
}

std::string WithoutBigramTrie(const std::string& lite) {
  return Repack(lite, [](ModelProtoT* model) { model->bigram_trie.clear(); });
}

std::string WithoutDirectMapping(const std::string& lite) {
  return Repack(lite, [](ModelProtoT* model) {
    model->enable_direct_mapping = false;
    model->direct_mapping_flags.clear();
  });
}

}  // namespace korvel::lite::fuzzing
