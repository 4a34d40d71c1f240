// Writes the seed corpus of every fuzz target into DIR/<target>/, from the
// project's own model builders, converter and importer:
//   lite_model_fuzzer    converted lite models of each kind and a few small
//                        hand-built ones
//   full_model_fuzzer    serialized full models, including some that convert
//                        but do not load
//   hf_import_fuzzer     tokenizer.json documents in the shapes the importer
//                        reads
//   *_text_fuzzer        texts in several scripts, each with a normalizer
//                        set-up, an alpha and sampling draws
// Usage: make_seed_corpus DIR

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "absl/strings/escaping.h"
#include "absl/strings/str_format.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "nlohmann/json.hpp"
#include "test_models.h"
#include "text_models.h"
#include "tokenizer_json.h"

namespace korvel::lite::fuzzing {
namespace {

using ::nlohmann::json;
using Type = korvel::ModelProto::Piece;

constexpr char kWs[] = "\xE2\x96\x81";

class CorpusWriter {
 public:
  explicit CorpusWriter(std::filesystem::path root) : root_(std::move(root)) {}

  void Write(const std::string& target, const std::string& name,
             const std::string& bytes) {
    const std::filesystem::path dir = root_ / target;
    std::filesystem::create_directories(dir);
    std::ofstream file(dir / name, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
      std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
      ok_ = false;
    }
  }

  bool ok() const { return ok_; }

 private:
  std::filesystem::path root_;
  bool ok_ = true;
};

std::string Serialize(const korvel::ModelProto& model) {
  std::string bytes;
  model.SerializeToString(&bytes);
  return bytes;
}

korvel::ModelProto SmallFullModel(korvel::TrainerSpec::ModelType type) {
  korvel::ModelProto model;
  for (const auto& [text, piece_type] :
       std::vector<std::pair<std::string, Type::Type>>{
           {"<unk>", Type::UNKNOWN},
           {"<s>", Type::CONTROL},
           {"</s>", Type::CONTROL},
           {"<user>", Type::USER_DEFINED},
           {kWs, Type::NORMAL},
           {"a", Type::NORMAL},
           {"b", Type::NORMAL},
           {"ab", Type::NORMAL},
           {std::string(kWs) + "ab", Type::NORMAL}}) {
    Type* piece = model.add_pieces();
    piece->set_piece(text);
    piece->set_score(-static_cast<float>(model.pieces_size()));
    piece->set_type(piece_type);
  }
  model.mutable_trainer_spec()->set_model_type(type);
  model.mutable_normalizer_spec()->set_name("identity");
  return model;
}

void WriteFullModels(CorpusWriter* out) {
  const std::string target = "full_model_fuzzer";
  out->Write(target, "unigram_charsmap.full",
             Serialize(TextFullModel(TextModelKind::kUnigram, 0)));
  out->Write(target, "bpe_byte_fallback.full",
             Serialize(TextFullModel(TextModelKind::kBpe, 1)));
  out->Write(target, "small_unigram.full",
             Serialize(SmallFullModel(korvel::TrainerSpec::UNIGRAM)));
  out->Write(target, "small_bpe.full",
             Serialize(SmallFullModel(korvel::TrainerSpec::BPE)));
  out->Write(target, "small_char.full",
             Serialize(SmallFullModel(korvel::TrainerSpec::CHAR)));

  korvel::ModelProto no_trainer = SmallFullModel(korvel::TrainerSpec::UNIGRAM);
  no_trainer.clear_trainer_spec();
  out->Write(target, "no_trainer_spec.full", Serialize(no_trainer));

  korvel::ModelProto null_byte = TextFullModel(TextModelKind::kBpe, 4);
  null_byte.mutable_pieces(5)->set_piece(std::string(1, '\0'));
  out->Write(target, "bpe_null_byte_piece.full", Serialize(null_byte));

  korvel::ModelProto nan_score = SmallFullModel(korvel::TrainerSpec::UNIGRAM);
  nan_score.mutable_pieces(5)->set_score(
      std::numeric_limits<float>::quiet_NaN());
  out->Write(target, "unigram_nan_score.full", Serialize(nan_score));

  korvel::ModelProto unk_out_of_range =
      SmallFullModel(korvel::TrainerSpec::UNIGRAM);
  unk_out_of_range.mutable_trainer_spec()->set_unk_id(9);
  out->Write(target, "unigram_unk_id_out_of_range.full",
             Serialize(unk_out_of_range));

  korvel::ModelProto specials = SmallFullModel(korvel::TrainerSpec::BPE);
  specials.mutable_trainer_spec()->set_unk_surface("<?>");
  specials.mutable_trainer_spec()->set_bos_piece("<user>");
  specials.mutable_trainer_spec()->set_treat_whitespace_as_suffix(true);
  specials.mutable_normalizer_spec()->set_add_dummy_prefix(false);
  out->Write(target, "bpe_specials.full", Serialize(specials));
}

// A small lite model made directly with the object API.
std::string SmallLiteModel(ModelType type, bool normalizer) {
  std::vector<testing::TestPiece> pieces = {
      {"<unk>", 0.0f, PieceType_UNKNOWN},
      {"<s>", 0.0f, PieceType_CONTROL},
      {"<user>", 0.0f, PieceType_USER_DEFINED},
      {kWs, -1.0f},
      {"a", -2.0f},
      {"b", -2.0f},
      {"ab", -1.5f},
      {std::string(kWs) + "a", -1.2f},
  };
  ModelProtoT model = testing::MakeModel(pieces, type);
  model.bos_id = 1;
  model.unk_surface = "<?>";
  if (normalizer) {
    model.normalizer_spec = testing::MakeNormalizerSpec(
        true, false, true, false,
        testing::BuildCharsMap({{"A", "a"}, {"\xC3\xA1", "a"}}));
  }
  return testing::Pack(model);
}

void WriteLiteModels(CorpusWriter* out) {
  const std::string target = "lite_model_fuzzer";
  const ConverterOptions options = TextConverterOptions();
  out->Write(target, "unigram_charsmap.lite",
             ConvertOrDie(TextFullModel(TextModelKind::kUnigram, 0), options));
  out->Write(target, "bpe_byte_fallback.lite",
             ConvertOrDie(TextFullModel(TextModelKind::kBpe, 1), options));
  out->Write(target, "small_bpe_converted.lite",
             ConvertOrDie(SmallFullModel(korvel::TrainerSpec::BPE), options));
  out->Write(target, "small_unigram.lite",
             SmallLiteModel(ModelType_UNIGRAM, /*normalizer=*/true));
  out->Write(target, "small_bpe.lite",
             SmallLiteModel(ModelType_BPE, /*normalizer=*/false));
}

json BpeTokenizer() {
  std::vector<std::string> pieces = {kWs, "a", "b", "c", "h", "e", "l", "o"};
  const std::vector<std::pair<std::string, std::string>> merges = {
      {"a", "b"},  {"ab", "c"},   {"h", "e"},     {"l", "l"},
      {"ll", "o"}, {"he", "llo"}, {kWs, "hello"}, {kWs, "a"}};
  std::vector<std::string> merge_list;
  for (const auto& [left, right] : merges) {
    pieces.push_back(left + right);
    merge_list.push_back(left + " " + right);
  }
  return testing::LlamaStyleBpeTokenizer(pieces, merge_list);
}

json UnigramTokenizer(bool charsmap) {
  json vocab = json::array({json::array({"<unk>", 0.0}),
                            json::array({"<s>", 0.0}), json::array({kWs, -2.0}),
                            json::array({"a", -3.0}), json::array({"b", -3.5}),
                            json::array({std::string(kWs) + "ab", -1.0}),
                            json::array({"\xC3\xA9", -4.0})});
  json tokenizer = {
      {"added_tokens",
       json::array({{{"id", 1}, {"content", "<s>"}, {"special", true}},
                    {{"id", 7}, {"content", "<user>"}, {"special", false}}})},
      {"model",
       {{"type", "Unigram"},
        {"unk_id", 0},
        {"byte_fallback", false},
        {"vocab", vocab}}}};
  if (charsmap) {
    const std::vector<uint8_t> blob = testing::BuildCharsMap(
        {{"\xEF\xBC\xA1", "A"}, {"e\xCC\x81", "\xC3\xA9"}});
    tokenizer["normalizer"] = {
        {"type", "Sequence"},
        {"normalizers",
         {{{"type", "Precompiled"},
           {"precompiled_charsmap",
            absl::Base64Escape(std::string(blob.begin(), blob.end()))}}}}};
  }
  tokenizer["pre_tokenizer"] = {{"type", "Metaspace"},
                                {"replacement", kWs},
                                {"prepend_scheme", "first"},
                                {"split", !charsmap}};
  return tokenizer;
}

void WriteTokenizers(CorpusWriter* out) {
  const std::string target = "hf_import_fuzzer";
  out->Write(target, "bpe_byte_fallback.json", BpeTokenizer().dump(1));
  out->Write(target, "unigram_metaspace.json", UnigramTokenizer(false).dump(1));
  out->Write(target, "unigram_precompiled.json",
             UnigramTokenizer(true).dump(1));
  json array_merges = BpeTokenizer();
  json& merges = array_merges["model"]["merges"];
  for (json& merge : merges) {
    const std::string text = merge.get<std::string>();
    const size_t space = text.find(' ');
    merge = json::array({text.substr(0, space), text.substr(space + 1)});
  }
  array_merges["model"]["byte_fallback"] = false;
  array_merges["normalizer"] = nullptr;
  array_merges["pre_tokenizer"] = {
      {"type", "Metaspace"}, {"replacement", kWs}, {"add_prefix_space", true}};
  out->Write(target, "bpe_array_merges.json", array_merges.dump());

  // Gemma style: spaces replaced by the normalizer, a Split that finds none,
  // added newline and "▁" runs with merges, a raw tab at the id of <0x09>.
  json gemma = BpeTokenizer();
  gemma["normalizer"] = gemma["normalizer"]["normalizers"][1];
  gemma["pre_tokenizer"] = {{"type", "Split"},
                            {"pattern", {{"String", " "}}},
                            {"behavior", "MergedWithPrevious"},
                            {"invert", false}};
  json& vocab = gemma["model"]["vocab"];
  vocab["\t"] = vocab["<0x09>"];
  vocab.erase("<0x09>");
  const int size = static_cast<int>(vocab.size());
  const std::string two_ws = std::string(kWs) + kWs;
  for (const auto& [id, text] : {std::pair<int, std::string>{size, "\n"},
                                 {size + 1, "\n\n"},
                                 {size + 2, two_ws}}) {
    vocab[text] = id;
    gemma["added_tokens"].push_back({{"id", id},
                                     {"content", text},
                                     {"special", false},
                                     {"normalized", false},
                                     {"lstrip", false},
                                     {"rstrip", false},
                                     {"single_word", false}});
  }
  gemma["model"]["merges"].push_back("\n \n");
  gemma["model"]["merges"].push_back(std::string(kWs) + " " + kWs);
  out->Write(target, "bpe_added_runs.json", gemma.dump(1));
}

// A text fuzzer input: the text with its backslashes doubled, the end mark,
// the sampling draws, then alpha and the normalizer set-up read from the end.
std::string TextInput(const std::string& text, int variant, int alpha_tenths) {
  std::string input;
  for (char c : text) {
    input += c;
    if (c == '\\') input += '\\';
  }
  input += "\\;";
  for (int i = 0; i < 16; ++i) input += static_cast<char>(37 * i + 11);
  input += static_cast<char>(alpha_tenths);
  input += static_cast<char>(variant);
  return input;
}

void WriteTexts(CorpusWriter* out) {
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"english", "Hello world, this is the test. hello hello!"},
      {"latin",
       "Gr\xC3\xBC\xC3\x9F"
       "e aus K\xC3\xB6ln! \xC3\x87"
       "a va? "
       "na\xC3\xAFve caf\xC3\xA9 \xC3\xA9t\xC3\xA9"},
      {"japanese",
       "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF"
       "\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x82\xE6\x97\xA5\xE6\x9C\xAC"},
      {"cyrillic",
       "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, "
       "\xD0\xBC\xD0\xB8\xD1\x80! \xD0\xBF\xD1\x80\xD0\xB8"},
      {"greek_emoji",
       "\xCE\xB1\xCE\xB2\xCE\xB3 \xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD "
       "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9"},
      {"charsmap",
       "\xEF\xBC\xA1\xEF\xBC\xA2 \xEF\xBC\x91 \xEF\xAC\x81ne "
       "\xE2\x91\xA0 \xE2\x84\xA1 \xE2\x80\xA6 \xE3\x8C\x94 "
       "\xEF\xBE\x8A\xEF\xBE\x9F\xEF\xBE\x8A A\xCC\x8A e\xCC\x81 "
       "zero\xE2\x80\x8Bwidth"},
      {"whitespace",
       "  leading\t\ttabs\nnew  lines   and\xC2\xA0nbsp"
       "\xE3\x80\x80ideographic\xE2\x80\x83"
       "em  "},
      {"whitespace_symbol",
       "\xE2\x96\x81"
       "already\xE2\x96\x81"
       "escaped "
       "\xE2\x96\x81\xE2\x96\x81 text\xE2\x96\x81"},
      {"specials",
       "New York <sep> [MASK] <mask> \xE2\x84\xA2 @@ <s> </s> "
       "<unk> <0x41> a\\b"},
      {"invalid_utf8",
       "\xFF\xFE \xC3\x28 \xE2\x82\xA1 \xED\xA0\x80 "
       "\xF4\x90\x80\x80 \xC0\xAF \xE3"},
      {"merges", "abcabc abc xx xxx qqq " + std::string(140, 'a')},
  };
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto& [name, text] = texts[i];
    for (int variant = 0; variant < kNumNormalizerVariants; ++variant) {
      if ((i + variant) % 2 != 0) continue;
      const std::string input =
          TextInput(text, variant, static_cast<int>(i * 3 % 12));
      const std::string file = absl::StrFormat("%s_%d", name, variant);
      out->Write("unigram_text_fuzzer", file, input);
      out->Write("bpe_text_fuzzer", file, input);
    }
  }
}

}  // namespace
}  // namespace korvel::lite::fuzzing

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  korvel::lite::fuzzing::CorpusWriter out(argv[1]);
  korvel::lite::fuzzing::WriteLiteModels(&out);
  korvel::lite::fuzzing::WriteFullModels(&out);
  korvel::lite::fuzzing::WriteTokenizers(&out);
  korvel::lite::fuzzing::WriteTexts(&out);
  return out.ok() ? 0 : 1;
}
