// Writes the unigram tokenizer.json of the real-model benchmark: the LLaMA-2
// vocabulary with made-up unigram scores and a character map of NFKC-style
// folds (fullwidth forms, ligatures, super- and subscripts, circled and roman
// numerals, halfwidth katakana, mathematical letters, composed Latin letters),
// followed by the dummy prefix and the whitespace symbol. Deterministic: the
// same input gives the same bytes. Both korvel (through its importer) and the
// peer library load the result. With "t5", the text pipeline is laid out as
// the T5 and XLM-R family ship it instead: the character map, then
// Replace(" {2,}", " "), then a Metaspace pre-tokenizer that splits words.
//   unigram_tokenizer_maker <llama2 tokenizer.json> <output tokenizer.json>
//       [t5]

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/escaping.h"
#include "nlohmann/json.hpp"
#include "test_models.h"

namespace {

using Rules = std::vector<std::pair<std::string, std::string>>;

std::string Utf8(uint32_t code) {
  std::string out;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
  return out;
}

// Code points from `first` on map one by one to the texts of `targets`.
void AddRange(uint32_t first, const std::vector<std::string>& targets,
              Rules* rules) {
  for (size_t i = 0; i < targets.size(); ++i) {
    rules->emplace_back(Utf8(first + static_cast<uint32_t>(i)), targets[i]);
  }
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream stream(text);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80   ? 1
                          : lead < 0xe0 ? 2
                          : lead < 0xf0 ? 3
                                        : 4;
    out.push_back(text.substr(i, length));
    i += length;
  }
  return out;
}

Rules FoldRules() {
  Rules rules;
  for (uint32_t c = 0x21; c <= 0x7e; ++c)
    rules.emplace_back(Utf8(0xfee0 + c), Utf8(c));
  rules.emplace_back(Utf8(0x3000), " ");
  rules.emplace_back(Utf8(0xa0), " ");
  rules.emplace_back(Utf8(0x2026), "...");
  rules.emplace_back(Utf8(0x2122), "TM");
  rules.emplace_back(Utf8(0xb9), "1");
  rules.emplace_back(Utf8(0xb2), "2");
  rules.emplace_back(Utf8(0xb3), "3");
  rules.emplace_back(Utf8(0xbd),
                     "1\xe2\x81\x84"
                     "2");
  rules.emplace_back(Utf8(0xbc),
                     "1\xe2\x81\x84"
                     "4");
  rules.emplace_back(Utf8(0xbe),
                     "3\xe2\x81\x84"
                     "4");
  AddRange(0xfb00, Words("ff fi fl ffi ffl st st"), &rules);
  AddRange(0x2070, Words("0 i"), &rules);
  AddRange(0x2074, Words("4 5 6 7 8 9 + \xe2\x88\x92 = ( ) n"), &rules);
  AddRange(0x2080, Words("0 1 2 3 4 5 6 7 8 9 + \xe2\x88\x92 = ( )"), &rules);
  AddRange(0x2460, Words("1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"),
           &rules);
  AddRange(0x2160, Words("I II III IV V VI VII VIII IX X XI XII L C D M"),
           &rules);
  AddRange(0x2170, Words("i ii iii iv v vi vii viii ix x xi xii l c d m"),
           &rules);
  AddRange(
      0xff71,
      Characters("アイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホ"
                 "マミムメモヤユヨラリルレロワン"),
      &rules);
  AddRange(0xff66, Characters("ヲァィゥェォャュョッー"), &rules);
  AddRange(0xff61, Characters("。「」、・"), &rules);
  for (uint32_t i = 0; i < 26; ++i) {
    rules.emplace_back(Utf8(0x1d400 + i), Utf8('A' + i));
    rules.emplace_back(Utf8(0x1d41a + i), Utf8('a' + i));
    rules.emplace_back(Utf8(0x1d5a0 + i), Utf8('A' + i));
    rules.emplace_back(Utf8(0x1d5ba + i), Utf8('a' + i));
  }
  for (uint32_t i = 0; i < 10; ++i)
    rules.emplace_back(Utf8(0x1d7ce + i), Utf8('0' + i));
  // Composed Latin letters from a base letter and a combining mark: grave,
  // acute, circumflex, tilde, diaeresis; the composed forms of Latin-1.
  const std::string kBases = "AAAAACEEEEIIIINOOOOOUUUUY";
  const uint32_t kMarks[] = {0x300, 0x301, 0x302, 0x303, 0x308, 0x327, 0x300,
                             0x301, 0x302, 0x308, 0x300, 0x301, 0x302, 0x308,
                             0x303, 0x300, 0x301, 0x302, 0x303, 0x308, 0x300,
                             0x301, 0x302, 0x308, 0x301};
  const uint32_t kComposed[] = {0xc0, 0xc1, 0xc2, 0xc3, 0xc4, 0xc7, 0xc8,
                                0xc9, 0xca, 0xcb, 0xcc, 0xcd, 0xce, 0xcf,
                                0xd1, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd9,
                                0xda, 0xdb, 0xdc, 0xdd};
  for (size_t i = 0; i < kBases.size(); ++i) {
    const char base = kBases[i];
    rules.emplace_back(std::string(1, base) + Utf8(kMarks[i]),
                       Utf8(kComposed[i]));
    rules.emplace_back(
        std::string(1, static_cast<char>(base | 0x20)) + Utf8(kMarks[i]),
        Utf8(kComposed[i] + 0x20));
  }
  return rules;
}

// A made-up log probability falling with the piece's id (LLaMA-2 ids follow
// the merge order, roughly by frequency), with a fixed per-piece jitter.
double MadeUpScore(int id) {
  uint32_t hash = static_cast<uint32_t>(id) * 2654435761u;
  hash ^= hash >> 15;
  const double jitter = static_cast<double>(hash % 1000) / 1000.0 - 0.5;
  return -std::log(static_cast<double>(id) + 10.0) - 1.0 + jitter;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: unigram_tokenizer_maker <llama2 tokenizer.json> "
                 "<output tokenizer.json> [t5]\n";
    return 2;
  }
  std::ifstream input(argv[1]);
  nlohmann::json llama;
  try {
    input >> llama;
  } catch (const std::exception& error) {
    std::cerr << "unigram_tokenizer_maker: cannot read " << argv[1] << ": "
              << error.what() << "\n";
    return 1;
  }
  const nlohmann::json& bpe_vocab = llama["model"]["vocab"];
  std::vector<std::string> pieces(bpe_vocab.size());
  for (const auto& [piece, id] : bpe_vocab.items()) {
    pieces.at(id.get<size_t>()) = piece;
  }

  nlohmann::json vocab = nlohmann::json::array();
  for (size_t id = 0; id < pieces.size(); ++id) {
    const bool fixed = id < 3 || pieces[id].rfind("<0x", 0) == 0;
    vocab.push_back(
        {pieces[id], fixed ? 0.0 : MadeUpScore(static_cast<int>(id))});
  }

  const std::vector<uint8_t> charsmap =
      korvel::lite::testing::BuildCharsMap(FoldRules());
  nlohmann::json tokenizer = {
      {"version", "1.0"},
      {"truncation", nullptr},
      {"padding", nullptr},
      {"added_tokens", llama["added_tokens"]},
      {"normalizer",
       {{"type", "Sequence"},
        {"normalizers",
         {{{"type", "Precompiled"},
           {"precompiled_charsmap",
            absl::Base64Escape(std::string(charsmap.begin(), charsmap.end()))}},
          {{"type", "Prepend"}, {"prepend", "\xe2\x96\x81"}},
          {{"type", "Replace"},
           {"pattern", {{"String", " "}}},
           {"content", "\xe2\x96\x81"}}}}}},
      {"pre_tokenizer", nullptr},
      {"post_processor", nullptr},
      {"decoder", llama["decoder"]},
      {"model",
       {{"type", "Unigram"},
        {"unk_id", 0},
        {"vocab", vocab},
        {"byte_fallback", true}}}};
  if (argc == 4 && std::string(argv[3]) == "t5") {
    nlohmann::json& steps = tokenizer["normalizer"]["normalizers"];
    steps[1] = {{"type", "Replace"},
                {"pattern", {{"Regex", " {2,}"}}},
                {"content", " "}};
    steps.erase(2);
    tokenizer["pre_tokenizer"] = {{"type", "Metaspace"},
                                  {"replacement", "\xe2\x96\x81"},
                                  {"prepend_scheme", "always"},
                                  {"split", true}};
  }
  std::ofstream output(argv[2], std::ios::binary);
  output << tokenizer.dump() << "\n";
  output.close();
  if (!output) {
    std::cerr << "unigram_tokenizer_maker: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
