#include "korvel_import/hf_import.h"

#include <string>
#include <utility>
#include <vector>

#include "absl/strings/escaping.h"
#include "absl/types/span.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_import/tiktoken_import.h"
#include "korvel_import/vocab_import.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/model_converter.h"
#include "korvel_pretokenizer/pretokenizer.h"
#include "nlohmann/json.hpp"
#include "test_models.h"
#include "tokenizer_json.h"
#include "utf8_encode.h"

namespace korvel::import {
namespace {

using ::nlohmann::json;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using Type = korvel::ModelProto_Piece_Type;

constexpr char kWs[] = "\xE2\x96\x81";  // The whitespace symbol.
constexpr int kFirstByte = 3;           // Id of <0x00> in the BPE model.

std::string Ws(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += kWs;
  return out;
}

// A LLaMA-style BPE tokenizer.json: <unk>, <s>, </s>, the byte pieces, then
// `pieces` from id 259 on. "▁▁" has a low id but merges last, and "ca" is a
// piece that no merge produces.
json LlamaStyleBpe() {
  return lite::testing::LlamaStyleBpeTokenizer(
      {Ws(1), "a", "b", "c", "<", ">", "s", Ws(2), "ab", "bc", Ws(1) + "a",
       "abc", Ws(1) + "ab", "ca"},
      {"b c", "a b", Ws(1) + " a", "a bc", "ab c", Ws(1) + "a b", Ws(1) + " ab",
       Ws(1) + " " + Ws(1)});
}

// A Unigram tokenizer.json with a Metaspace pre-tokenizer; "a▁b" spans two
// words and would win if it could be matched.
json MetaspaceUnigram() {
  return {{"normalizer", nullptr},
          {"pre_tokenizer",
           {{"type", "Metaspace"},
            {"replacement", kWs},
            {"prepend_scheme", "always"},
            {"split", true}}},
          {"model",
           {{"type", "Unigram"},
            {"unk_id", 0},
            {"byte_fallback", false},
            {"vocab",
             json::array({json::array({"<unk>", 0.0}), json::array({kWs, -2.0}),
                          json::array({"a", -3.0}), json::array({"b", -3.0}),
                          json::array({Ws(1) + "ab", -1.0}),
                          json::array({"a" + Ws(1) + "b", 5.0})})}}}};
}

korvel::ModelProto Import(const json& tokenizer) {
  absl::StatusOr<korvel::ModelProto> model =
      ImportHuggingFaceTokenizer(tokenizer.dump());
  EXPECT_TRUE(model.ok()) << model.status();
  return model.ok() ? *model : korvel::ModelProto();
}

std::vector<int> Encode(const korvel::ModelProto& model,
                        const std::string& text) {
  absl::StatusOr<std::string> lite =
      lite::ToFlatbuffer(model, lite::ConverterOptions());
  EXPECT_TRUE(lite.ok()) << lite.status();
  if (!lite.ok()) return {};
  lite::KorvelLiteProcessor processor(*lite);
  EXPECT_EQ(processor.status(), absl::StatusCode::kOk);
  std::vector<int> ids;
  EXPECT_EQ(processor.Encode(text, &ids), absl::StatusCode::kOk);
  return ids;
}

TEST(HfImportTest, BpeScoresAreFirstMergeRanksAndTypesFollowTheTokens) {
  const korvel::ModelProto model = Import(LlamaStyleBpe());
  ASSERT_EQ(model.pieces_size(), 273);
  auto piece = [&](int id) { return model.pieces(id); };
  EXPECT_EQ(piece(0).type(), korvel::ModelProto_Piece_Type_UNKNOWN);
  EXPECT_EQ(piece(1).type(), korvel::ModelProto_Piece_Type_CONTROL);
  EXPECT_EQ(piece(2).type(), korvel::ModelProto_Piece_Type_CONTROL);
  EXPECT_EQ(piece(kFirstByte + 0x41).type(),
            korvel::ModelProto_Piece_Type_BYTE);
  EXPECT_EQ(piece(260).type(), korvel::ModelProto_Piece_Type_NORMAL);  // a
  EXPECT_EQ(piece(270).score(), -3.0f);  // abc: first of its merges 3 and 4.
  EXPECT_EQ(piece(271).score(), -5.0f);  // ▁ab
  EXPECT_EQ(piece(266).score(), -7.0f);  // ▁▁
  EXPECT_EQ(piece(272).type(), korvel::ModelProto_Piece_Type_UNUSED);  // ca
  EXPECT_EQ(model.trainer_spec().model_type(),
            korvel::TrainerSpec_ModelType_BPE);
  EXPECT_EQ(model.trainer_spec().unk_id(), 0);
  EXPECT_TRUE(model.trainer_spec().byte_fallback());
  EXPECT_EQ(model.trainer_spec().bos_piece(), "<s>");
  EXPECT_EQ(model.trainer_spec().eos_piece(), "</s>");
  EXPECT_TRUE(model.normalizer_spec().add_dummy_prefix());
  EXPECT_TRUE(model.normalizer_spec().escape_whitespaces());
  EXPECT_FALSE(model.normalizer_spec().remove_extra_whitespaces());
  EXPECT_TRUE(model.normalizer_spec().precompiled_charsmap().empty());
}

TEST(HfImportTest, BpeEncodesLikeRankedMerging) {
  const korvel::ModelProto model = Import(LlamaStyleBpe());
  // b+c merges before a+b; abc is then not reachable from ▁a + bc.
  EXPECT_THAT(Encode(model, "abc"), ElementsAre(269, 268));
  // ▁+a (rank 2) beats ▁+▁ (rank 7) although ▁▁ has the lower id.
  EXPECT_THAT(Encode(model, " a"), ElementsAre(259, 269));
  EXPECT_THAT(Encode(model, "  "), ElementsAre(266, 259));
  // "ca" is UNUSED, so c and a stay apart.
  EXPECT_THAT(Encode(model, "ca"), ElementsAre(259, 262, 260));
  // Special-token texts are plain text; unknown characters become bytes.
  EXPECT_THAT(Encode(model, "<s>"), ElementsAre(259, 263, 265, 264));
  EXPECT_THAT(Encode(model, "ab\xC3\xA9"),
              ElementsAre(271, kFirstByte + 0xC3, kFirstByte + 0xA9));
  EXPECT_THAT(Encode(model, ""), ElementsAre());
}

TEST(HfImportTest, MergePairsAndRepeatedPairsFollowTheOriginal) {
  json tokenizer = LlamaStyleBpe();
  json pairs = json::array();
  for (const json& merge : tokenizer["model"]["merges"]) {
    const std::string text = merge.get<std::string>();
    const size_t space = text.find(' ');
    pairs.push_back({text.substr(0, space), text.substr(space + 1)});
  }
  tokenizer["model"]["merges"] = pairs;
  const korvel::ModelProto from_pairs = Import(tokenizer);
  EXPECT_EQ(from_pairs.SerializeAsString(),
            Import(LlamaStyleBpe()).SerializeAsString());

  // A pair listed again keeps its last rank: "b c" now ranks 8.
  tokenizer["model"]["merges"].push_back({"b", "c"});
  const korvel::ModelProto repeated = Import(tokenizer);
  EXPECT_EQ(repeated.pieces(268).score(), -8.0f);
}

TEST(HfImportTest, AddedTokensExtendTheVocabulary) {
  json tokenizer = LlamaStyleBpe();
  tokenizer["added_tokens"].push_back(
      {{"id", 273}, {"content", "<pad>"}, {"special", true}});
  tokenizer["added_tokens"].push_back(
      {{"id", 274}, {"content", "<tool>"}, {"special", false}});
  const korvel::ModelProto model = Import(tokenizer);
  ASSERT_EQ(model.pieces_size(), 275);
  EXPECT_EQ(model.pieces(273).type(), korvel::ModelProto_Piece_Type_CONTROL);
  EXPECT_EQ(model.pieces(274).piece(), "<tool>");
  EXPECT_EQ(model.pieces(274).type(),
            korvel::ModelProto_Piece_Type_USER_DEFINED);
  EXPECT_EQ(model.trainer_spec().pad_piece(), "<pad>");
  EXPECT_THAT(Encode(model, "a<tool>"), ElementsAre(269, 274));
  std::vector<std::string> warnings;
  ASSERT_TRUE(ImportHuggingFaceTokenizer(tokenizer.dump(), &warnings).ok());
  EXPECT_THAT(warnings, ElementsAre(HasSubstr("after the token too")));
}

// Gemma style: spaces replaced by the normalizer, a Split that then finds
// nothing, added newline runs cut out of the text (their merges never apply),
// an unnormalized added "▁▁" that only merges produce, and a raw tab at the
// id of <0x09>.
TEST(HfImportTest, AddedTokensAndByteHolesFollowTheOriginal) {
  json tokenizer = LlamaStyleBpe();
  tokenizer["normalizer"] = tokenizer["normalizer"]["normalizers"][1];
  tokenizer["pre_tokenizer"] = {{"type", "Split"},
                                {"pattern", {{"String", " "}}},
                                {"behavior", "MergedWithPrevious"}};
  json& model = tokenizer["model"];
  model["vocab"].erase("<0x09>");
  model["vocab"]["\t"] = kFirstByte + 9;
  model["vocab"]["\n"] = 273;
  model["vocab"]["\n\n"] = 274;
  model["merges"].insert(model["merges"].begin(), "\n \n");
  for (const auto& [id, text] :
       {std::pair<int, std::string>{273, "\n"}, {274, "\n\n"}, {266, Ws(2)}}) {
    tokenizer["added_tokens"].push_back(
        {{"id", id}, {"content", text}, {"normalized", false}});
  }
  std::vector<std::string> warnings;
  absl::StatusOr<korvel::ModelProto> model_proto =
      ImportHuggingFaceTokenizer(tokenizer.dump(), &warnings);
  ASSERT_TRUE(model_proto.ok()) << model_proto.status();
  EXPECT_THAT(warnings, ElementsAre(HasSubstr("U+2581")));
  EXPECT_EQ(model_proto->pieces(266).type(),
            korvel::ModelProto_Piece_Type_NORMAL);
  EXPECT_EQ(model_proto->pieces(274).type(),
            korvel::ModelProto_Piece_Type_USER_DEFINED);
  EXPECT_EQ(model_proto->pieces(kFirstByte + 9).piece(), "<0x09>");
  EXPECT_THAT(Encode(*model_proto, "a\n\n\nb  \t"),
              ElementsAre(260, 274, 273, 261, 266, kFirstByte + 9));
}

TEST(HfImportTest, UnigramWithMetaspaceSplitsWords) {
  const korvel::ModelProto model = Import(MetaspaceUnigram());
  EXPECT_EQ(model.trainer_spec().model_type(),
            korvel::TrainerSpec_ModelType_UNIGRAM);
  EXPECT_EQ(model.pieces(4).score(), -1.0f);
  EXPECT_EQ(model.pieces(5).type(), korvel::ModelProto_Piece_Type_UNUSED);
  EXPECT_TRUE(model.normalizer_spec().add_dummy_prefix());
  EXPECT_THAT(Encode(model, "ab ab"), ElementsAre(4, 4));
  EXPECT_THAT(Encode(model, "a b"), ElementsAre(1, 2, 1, 3));

  json no_split = MetaspaceUnigram();
  no_split["pre_tokenizer"]["split"] = false;
  no_split["pre_tokenizer"]["prepend_scheme"] = "never";
  const korvel::ModelProto whole = Import(no_split);
  EXPECT_EQ(whole.pieces(5).type(), korvel::ModelProto_Piece_Type_NORMAL);
  EXPECT_FALSE(whole.normalizer_spec().add_dummy_prefix());
  EXPECT_THAT(Encode(whole, "a b"), ElementsAre(5));

  json huge = MetaspaceUnigram();
  huge["model"]["vocab"][2][1] = 1e300;
  EXPECT_THAT(
      std::string(ImportHuggingFaceTokenizer(huge.dump()).status().message()),
      HasSubstr("entry 2 has a score beyond float range"));

  json t5 = MetaspaceUnigram();  // Spaces collapsed as T5 and XLM-R do.
  t5["normalizer"] = {
      {"type", "Replace"}, {"pattern", {{"Regex", " {2,}"}}}, {"content", " "}};
  std::vector<std::string> warnings;
  absl::StatusOr<korvel::ModelProto> collapsed =
      ImportHuggingFaceTokenizer(t5.dump(), &warnings);
  ASSERT_TRUE(collapsed.ok()) << collapsed.status();
  EXPECT_TRUE(collapsed->normalizer_spec().remove_extra_whitespaces());
  EXPECT_THAT(warnings, ElementsAre(HasSubstr("ending in a space")));
  EXPECT_THAT(Encode(*collapsed, "  ab   ab"), ElementsAre(4, 4));

  json legacy = MetaspaceUnigram();
  legacy["pre_tokenizer"] = {
      {"type", "Metaspace"}, {"replacement", kWs}, {"add_prefix_space", false}};
  EXPECT_FALSE(Import(legacy).normalizer_spec().add_dummy_prefix());
}

TEST(HfImportTest, PrecompiledCharsMapIsCopiedAndApplied) {
  const std::vector<uint8_t> blob =
      lite::testing::BuildCharsMap({{"\xC3\x85", "a"}});  // Å -> a
  const std::string charsmap(blob.begin(), blob.end());
  json tokenizer = MetaspaceUnigram();
  tokenizer["normalizer"] = {
      {"type", "Precompiled"},
      {"precompiled_charsmap", absl::Base64Escape(charsmap)}};
  const korvel::ModelProto model = Import(tokenizer);
  EXPECT_EQ(model.normalizer_spec().precompiled_charsmap(), charsmap);
  EXPECT_THAT(Encode(model, "\xC3\x85"), ElementsAre(1, 2));
}

TEST(HfImportTest, ReplaceAloneEscapesWithoutDummyPrefix) {
  json tokenizer = LlamaStyleBpe();
  tokenizer["normalizer"] = {
      {"type", "Replace"}, {"pattern", {{"String", " "}}}, {"content", kWs}};
  const korvel::ModelProto model = Import(tokenizer);
  EXPECT_FALSE(model.normalizer_spec().add_dummy_prefix());
  EXPECT_TRUE(model.normalizer_spec().escape_whitespaces());
  EXPECT_THAT(Encode(model, "a a"), ElementsAre(260, 269));
}

// The GPT-2 spelling of a byte string.
std::string Spell(const std::string& bytes) {
  std::string out;
  for (const unsigned char byte : bytes) {
    int code = byte;
    if (!((byte >= 33 && byte <= 126) || (byte >= 161 && byte <= 172) ||
          byte >= 174)) {
      code = 256;
      for (int b = 0; b < byte; ++b) {
        code += !((b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174);
      }
    }
    lite::testing::AppendUtf8(code, &out);
  }
  return out;
}

// A Llama-3-style byte-level tokenizer.json: byte b at id b, then " a", "ab",
// " ab" (ids 256 to 258), and the special token <｜eot｜> at 259, which the
// vocabulary holds as written, outside the byte alphabet (as DeepSeek's do).
json ByteLevelBpe() {
  json vocab = json::object();
  for (int byte = 0; byte < 256; ++byte) {
    vocab[Spell(std::string(1, static_cast<char>(byte)))] = byte;
  }
  vocab[Spell(" a")] = 256;
  vocab["ab"] = 257;
  vocab[Spell(" ab")] = 258;
  vocab["<｜eot｜>"] = 259;
  const std::string pattern(
      pretokenizer::PatternOfFamily(pretokenizer::Family::kCl100k));
  return {
      {"normalizer", nullptr},
      {"pre_tokenizer",
       {{"type", "Sequence"},
        {"pretokenizers",
         {{{"type", "Split"},
           {"pattern", {{"Regex", pattern}}},
           {"behavior", "Isolated"},
           {"invert", false}},
          {{"type", "ByteLevel"},
           {"add_prefix_space", false},
           {"use_regex", false}}}}}},
      {"decoder", {{"type", "ByteLevel"}}},
      {"added_tokens",
       {{{"id", 259}, {"content", "<｜eot｜>"}, {"special", true}}}},
      {"model",
       {{"type", "BPE"},
        {"ignore_merges", true},
        {"vocab", vocab},
        {"merges",
         {Spell(" ") + " a", "a b", Spell(" a") + " b", Spell(" ") + " ab"}}}}};
}

TEST(HfImportTest, ByteLevelPiecesAreRawBytesRankedByMerges) {
  const korvel::ModelProto model = Import(ByteLevelBpe());
  ASSERT_EQ(model.pieces_size(), 260);
  EXPECT_EQ(model.trainer_spec().model_type(),
            korvel::TrainerSpec_ModelType_BYTE_LEVEL_BPE);
  EXPECT_EQ(model.trainer_spec().unk_id(), -1);
  EXPECT_FALSE(model.trainer_spec().byte_fallback());
  for (int byte = 0; byte < 256; ++byte) {
    EXPECT_EQ(model.pieces(byte).piece(), std::string(1, byte)) << byte;
  }
  EXPECT_EQ(model.pieces(256).piece(), " a");
  EXPECT_EQ(model.pieces(258).score(), -2.0f);
  EXPECT_EQ(model.pieces(259).piece(), "<｜eot｜>");
  EXPECT_EQ(model.pieces(259).type(), korvel::ModelProto_Piece_Type_CONTROL);
  EXPECT_FALSE(model.normalizer_spec().add_dummy_prefix());
  EXPECT_FALSE(model.normalizer_spec().escape_whitespaces());
  EXPECT_FALSE(model.normalizer_spec().remove_extra_whitespaces());
  ASSERT_EQ(model.byte_level().pretokenizer_size(), 1);
  EXPECT_EQ(model.byte_level().pretokenizer(0).family(),
            static_cast<uint32_t>(pretokenizer::Family::kCl100k));
  EXPECT_TRUE(model.byte_level().ignore_merges());
}

// Pre-tokenizer shapes: the families their steps get, in order.
TEST(HfImportTest, ByteLevelPreTokenizerSteps) {
  using pretokenizer::Family;
  const struct {
    const char* name;
    void (*edit)(json* steps);
    std::vector<Family> families;
  } kCases[] = {
      {"SplitThenByteLevel", [](json*) {}, {Family::kCl100k}},
      {"ByteLevelAlone", [](json* s) { s->erase(0); }, {}},
      {"ByteLevelWithRegex",
       [](json* s) {
         *s = {{{"type", "ByteLevel"}, {"use_regex", true}}};
       },
       {Family::kGpt2}},
      {"RemovedInverted",
       [](json* s) {
         (*s)[0]["behavior"] = "Removed";
         (*s)[0]["invert"] = true;
       },
       {Family::kCl100k}},
      {"LiteralThenFamily",
       [](json* s) {
         s->insert(s->begin(), json{{"type", "Split"},
                                    {"pattern", {{"String", "\n"}}},
                                    {"behavior", "Isolated"}});
       },
       {Family::kNone, Family::kCl100k}},
  };
  for (const auto& test : kCases) {
    SCOPED_TRACE(test.name);
    json tokenizer = ByteLevelBpe();
    test.edit(&tokenizer["pre_tokenizer"]["pretokenizers"]);
    const korvel::ModelProto model = Import(tokenizer);
    std::vector<Family> families;
    for (const auto& step : model.byte_level().pretokenizer()) {
      families.push_back(static_cast<Family>(step.family()));
    }
    EXPECT_THAT(families, ElementsAreArray(test.families));
  }
}

// The NFC and NFKC maps against expected normal forms, through the runtime's
// character-map normalizer.
TEST(HfImportTest, NfcAndNfkcBecomeCharacterMaps) {
  const struct {
    const char* form;
    const char* text;
    const char* normalized;
  } kCases[] = {
      {"NFC", "e\xCC\x81", "\xC3\xA9"},                     // e + acute
      {"NFC", "\xE2\x84\xAB", "\xC3\x85"},                  // angstrom sign
      {"NFC", "\xEF\xAC\x81", "\xEF\xAC\x81"},              // fi ligature kept
      {"NFC", "\xE1\x84\x80\xE1\x85\xA1", "\xEA\xB0\x80"},  // Hangul L + V
      {"NFKC", "\xEF\xAC\x81", "fi"},
      {"NFKC", "\xEF\xBC\xA1\xCC\x81", "\xC3\x81"},  // fullwidth A + acute
      {"NFKC", "\xE2\x91\xA0x", "1x"},               // circled one
  };
  for (const auto& test : kCases) {
    SCOPED_TRACE(test.text);
    json tokenizer = MetaspaceUnigram();
    tokenizer["normalizer"] = {{"type", "Sequence"},
                               {"normalizers", {{{"type", test.form}}}}};
    const korvel::ModelProto model = Import(tokenizer);
    absl::StatusOr<std::string> lite =
        lite::ToFlatbuffer(model, lite::ConverterOptions());
    ASSERT_TRUE(lite.ok()) << lite.status();
    lite::KorvelLiteProcessor processor(*lite);
    std::string normalized;
    ASSERT_EQ(processor.Normalize(test.text, &normalized, nullptr),
              absl::StatusCode::kOk);
    EXPECT_EQ(normalized, kWs + std::string(test.normalized));
  }
}

std::string TiktokenRanks(const std::vector<std::string>& extra) {
  std::string out;
  int rank = 0;
  for (int byte = 0; byte < 256; ++byte) {
    out += absl::Base64Escape(std::string(1, static_cast<char>(byte))) + " " +
           std::to_string(rank++) + "\n";
  }
  for (const std::string& token : extra) {
    out += absl::Base64Escape(token) + " " + std::to_string(rank++) + "\n";
  }
  return out;
}

TEST(TiktokenImportTest, RanksBecomeScoresAndSpecialsControlPieces) {
  absl::StatusOr<korvel::ModelProto> model =
      ImportTiktoken(TiktokenRanks({" a", "ab"}), "o200k", "<|endoftext|>=260");
  ASSERT_TRUE(model.ok()) << model.status();
  ASSERT_EQ(model->pieces_size(), 261);
  EXPECT_EQ(model->pieces(256).piece(), " a");
  EXPECT_EQ(model->pieces(257).score(), -257.0f);
  EXPECT_EQ(model->pieces(258).type(), korvel::ModelProto_Piece_Type_UNUSED);
  EXPECT_EQ(model->pieces(260).type(), korvel::ModelProto_Piece_Type_CONTROL);
  EXPECT_EQ(model->trainer_spec().eos_piece(), "<|endoftext|>");
  EXPECT_EQ(model->byte_level().pretokenizer(0).family(),
            static_cast<uint32_t>(pretokenizer::Family::kO200k));
  EXPECT_TRUE(model->byte_level().ignore_merges());

  const struct {
    std::string ranks;
    const char* pattern;
    const char* specials;
    const char* message;
  } kRefusals[] = {
      {TiktokenRanks({"ab"}) + "YWI= 300\n", "gpt2", "", "ranks skip 257"},
      {TiktokenRanks({"ab", "ab"}), "gpt2", "", "\"ab\" is repeated"},
      {TiktokenRanks({}) + "YWI=\n", "gpt2", "", "line 257 is not"},
      {"YWI=" + TiktokenRanks({}).substr(4), "gpt2", "",
       "lack the single byte 0"},
      {TiktokenRanks({}), "(", "", "neither gpt2"},
      {TiktokenRanks({}), "gpt2", "<s>=3", "not TEXT=ID with an id past"},
      {TiktokenRanks({}), "gpt2", "<s>=256,</s>=256", "repeats"},
  };
  for (const auto& refusal : kRefusals) {
    SCOPED_TRACE(refusal.message);
    absl::StatusOr<korvel::ModelProto> refused =
        ImportTiktoken(refusal.ranks, refusal.pattern, refusal.specials);
    ASSERT_FALSE(refused.ok());
    EXPECT_THAT(std::string(refused.status().message()),
                HasSubstr(refusal.message));
  }
}

struct Refusal {
  const char* name;
  void (*edit)(json* tokenizer);
  const char* message;
};

const Refusal kRefusals[] = {
    {"WordPiece", [](json* t) { (*t)["model"]["type"] = "WordPiece"; },
     "Unsupported model: WordPiece"},
    {"NfkcAfterReplace",
     [](json* t) {
       (*t)["normalizer"]["normalizers"].push_back({{"type", "NFKC"}});
     },
     "Unsupported normalizer: NFKC must come first"},
    {"RegexReplace",
     [](json* t) {
       (*t)["normalizer"]["normalizers"][1]["pattern"] = {{"Regex", " {2,}"}};
     },
     "Unsupported normalizer: Replace"},
    {"PrependAlone",
     [](json* t) { (*t)["normalizer"]["normalizers"].erase(1); },
     "without Replace"},
    {"ByteLevelAfterReplace",
     [](json* t) {
       (*t)["pre_tokenizer"] = {{"type", "ByteLevel"}};
     },
     "Unsupported normalizer: Replace, Prepend or Strip before a ByteLevel"},
    {"StripAlone",
     [](json* t) {
       (*t)["normalizer"] = {{"type", "Strip"}, {"strip_right", true}};
     },
     "Replace(\" {2,}\", \" \") or Strip other than both"},
    {"SplitOnPattern",
     [](json* t) {
       (*t)["pre_tokenizer"] = {{"type", "Split"},
                                {"pattern", {{"Regex", "\\s+"}}}};
     },
     "Unsupported pre-tokenizer: Split"},
    {"AddedTokenWithSpace",
     [](json* t) {
       (*t)["added_tokens"].push_back({{"id", 273}, {"content", "a b"}});
     },
     "\"a b\" holds a space"},
    {"MetaspaceAfterReplace",
     [](json* t) {
       (*t)["pre_tokenizer"] = {{"type", "Metaspace"}, {"replacement", kWs}};
     },
     "Unsupported pre-tokenizer: Metaspace"},
    {"Dropout", [](json* t) { (*t)["model"]["dropout"] = 0.1; },
     "Unsupported BPE option: dropout"},
    {"IgnoreMerges", [](json* t) { (*t)["model"]["ignore_merges"] = true; },
     "Unsupported BPE option: ignore_merges"},
    {"SubwordPrefix",
     [](json* t) { (*t)["model"]["continuing_subword_prefix"] = "##"; },
     "Unsupported BPE option: continuing_subword_prefix"},
    {"MergeOutsideVocab",
     [](json* t) { (*t)["model"]["merges"].push_back("c c"); },
     "\"cc\", which is not in the vocabulary"},
    {"MalformedMerge", [](json* t) { (*t)["model"]["merges"].push_back("ab"); },
     "BPE merge 8 is neither"},
    {"MergesNotAList",
     [](json* t) {
       (*t)["model"]["merges"] = {{"a", "b"}};
     },
     "BPE model has no \"merges\" list"},
    {"MergeOfSpecial",
     [](json* t) {
       (*t)["model"]["vocab"]["<s>a"] = 273;
       (*t)["model"]["merges"].push_back("<s> a");
     },
     "involves a special"},
    {"MergesNotAdjacent",
     [](json* t) { (*t)["model"]["merges"].push_back("a bc"); },
     "producing \"abc\" are not adjacent"},
    {"IncompleteMerges", [](json* t) { (*t)["model"]["merges"].erase(4); },
     "\"abc\" splits into \"ab\" + \"c\""},
    {"MissingBytePiece",
     [](json* t) {
       (*t)["model"]["vocab"].erase("<0x7F>");
       (*t)["model"]["vocab"]["x"] = kFirstByte + 0x7F;
     },
     "byte_fallback needs"},
    {"UnknownTokenMissing",
     [](json* t) { (*t)["model"]["unk_token"] = "<?\n>"; },
     "\"<?\\n>\" is not in the vocabulary"},
    {"NoUnknownNoBytes",
     [](json* t) {
       (*t)["model"]["unk_token"] = nullptr;
       (*t)["model"]["byte_fallback"] = false;
     },
     "neither an unknown token nor byte fallback"},
    {"LongPiece",
     [](json* t) {
       (*t)["model"]["vocab"][std::string(4097, 'a')] = 273;
       (*t)["model"]["merges"].push_back("a a");
     },
     "The piece \"aaaa"},
    {"LongAddedToken",
     [](json* t) {
       (*t)["added_tokens"].push_back(
           {{"id", 273}, {"content", std::string(4097, '<')}});
     },
     "is longer than 4,096 bytes"},
    {"IdGap", [](json* t) { (*t)["model"]["vocab"]["ca"] = 300; },
     "BPE vocabulary ids are not 0 to 272"},
    {"AddedTokenMismatch",
     [](json* t) { (*t)["added_tokens"][1]["content"] = "<bos>"; },
     "Added token \"<bos>\" has id 1, which is \"<s>\""},
    {"AddedTokenGap",
     [](json* t) {
       (*t)["added_tokens"].push_back({{"id", 280}, {"content", "<x>"}});
     },
     "Added tokens leave id 273 without a piece"},
    {"AddedTokenLstrip",
     [](json* t) {
       (*t)["added_tokens"].push_back(
           {{"id", 273}, {"content", "<x>"}, {"lstrip", true}});
     },
     "Unsupported added token option: lstrip"},
    {"BadCharsMap",
     [](json* t) {
       (*t)["normalizer"]["normalizers"].insert(
           (*t)["normalizer"]["normalizers"].begin(),
           json{{"type", "Precompiled"},
                {"precompiled_charsmap", "not base64!"}});
     },
     "precompiled_charsmap is not base64"},
};

// Byte-level files that korvel refuses, edited from ByteLevelBpe().
const Refusal kByteLevelRefusals[] = {
    {"Hole",
     [](json* t) {
       (*t)["model"]["vocab"]["ab"] = 300;
       (*t)["model"]["vocab"].erase("<｜eot｜>");
       (*t)["added_tokens"] = json::array();
     },
     "no piece has id 257"},
    {"SameId", [](json* t) { (*t)["model"]["vocab"]["ab"] = 256; },
     "id 256 names both"},
    {"MissingByte", [](json* t) { (*t)["model"]["vocab"].erase("~"); },
     "lacks the byte 0x7E"},
    {"OutsideAlphabet", [](json* t) { (*t)["model"]["vocab"][" "] = 300; },
     "\" \" is not spelled in the GPT-2 byte alphabet"},
    {"PatternDoesNotCompile",
     [](json* t) {
       (*t)["pre_tokenizer"]["pretokenizers"][0]["pattern"]["Regex"] = "(a";
     },
     "the Split pattern \"(a\" does not compile"},
    {"Contiguous",
     [](json* t) {
       (*t)["pre_tokenizer"]["pretokenizers"][0]["behavior"] = "Contiguous";
     },
     "Split with behavior Contiguous"},
    {"PrefixSpace",
     [](json* t) {
       (*t)["pre_tokenizer"]["pretokenizers"][1]["add_prefix_space"] = true;
     },
     "ByteLevel with add_prefix_space"},
    {"ByteLevelFirst",
     [](json* t) {
       auto& steps = (*t)["pre_tokenizer"]["pretokenizers"];
       steps.push_back(steps[0]);
       steps.erase(0);
     },
     "ByteLevel before other steps"},
    {"NFD",
     [](json* t) {
       (*t)["normalizer"] = {{"type", "NFD"}};
     },
     "Unsupported normalizer: NFD"},
    {"Unigram", [](json* t) { (*t)["model"]["type"] = "Unigram"; },
     "Unigram with a ByteLevel pre-tokenizer"},
};

TEST(HfImportTest, RefusesWhatTheModelCannotRepresent) {
  const std::pair<json, absl::Span<const Refusal>> kTables[] = {
      {ByteLevelBpe(), kByteLevelRefusals}, {LlamaStyleBpe(), kRefusals}};
  for (const auto& [base, refusals] : kTables) {
    for (const Refusal& refusal : refusals) {
      SCOPED_TRACE(refusal.name);
      json tokenizer = base;
      refusal.edit(&tokenizer);
      const absl::Status status =
          ImportHuggingFaceTokenizer(tokenizer.dump()).status();
      EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
      EXPECT_THAT(std::string(status.message()), HasSubstr(refusal.message));
    }
  }
  // Texts that edits of a document cannot make, with the whole message.
  std::string merges_twice = LlamaStyleBpe().dump();
  merges_twice.replace(merges_twice.find("\"merges\":"), 0,
                       "\"merges\":[\"a b\"],");
  const std::pair<std::string, const char*> kTexts[] = {
      {"", "tokenizer.json is not a JSON object"},
      {"[1, 2]", "tokenizer.json is not a JSON object"},
      {"{\"version\": \"1.", "tokenizer.json is not a JSON object"},
      {"{\"model\": 3}", "tokenizer.json has no \"model\" object"},
      {"{\"model\": {}, \"model\": {}}",
       "tokenizer.json names \"model\" twice in one object"},
      {"{\"x\": [{\"\": 1, \"\": 1}]}",
       "tokenizer.json names \"\" twice in one object"},
      {merges_twice, "tokenizer.json names \"merges\" twice in one object"},
  };
  for (const auto& [text, message] : kTexts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ImportHuggingFaceTokenizer(text).status(),
              absl::InvalidArgumentError(message));
  }
}

TEST(VocabImportTest, BuildsAUnigramModelFromPieceScoreLines) {
  absl::StatusOr<korvel::ModelProto> model =
      ImportVocabulary("<unk>\t0\n<s>\t0\n</s>\t0\n\n" + Ws(1) +
                       "\t-2\na\t-3\n" + Ws(1) + "a\t-1.5\r\n");
  ASSERT_TRUE(model.ok()) << model.status();
  EXPECT_EQ(model->pieces(1).type(), korvel::ModelProto_Piece_Type_CONTROL);
  EXPECT_EQ(model->pieces(5).score(), -1.5f);
  EXPECT_THAT(Encode(*model, "  a  a "), ElementsAre(5, 5));

  EXPECT_THAT(
      std::string(ImportVocabulary("<unk>\t0\na 1\n").status().message()),
      HasSubstr("line 2"));
  EXPECT_THAT(std::string(ImportVocabulary("a\t-1\n").status().message()),
              HasSubstr("<unk>"));
  EXPECT_FALSE(ImportVocabulary("<unk>\t0\na\tnan\n").ok());
}

}  // namespace
}  // namespace korvel::import
