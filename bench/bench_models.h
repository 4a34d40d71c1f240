#ifndef KORVEL_BENCH_BENCH_MODELS_H_
#define KORVEL_BENCH_BENCH_MODELS_H_

// Models and checks shared by the benchmarks: a large synthetic BPE model made
// through the converter, and the flatbuffer verification of the loader on its
// own, to tell its share of the load time.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "flatbuffers/flatbuffers.h"
#include "full_model_builder.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_model_converters/model_converter.h"

namespace korvel::lite {

struct SyntheticModel {
  std::string lite;
  size_t full_size = 0;
};

// A BPE model of `size` pieces (unknown, 256 bytes, the rest made of one to
// four syllables in Latin, Cyrillic and CJK scripts, half of them after the
// whitespace symbol), converted with the default options. Deterministic.
inline SyntheticModel BuildSyntheticModel(size_t size) {
  using testing::FullPiece;
  using testing::FullPieceSpec;
  const std::vector<std::string> syllables = [] {
    std::vector<std::string> out;
    const char* onsets[] = {"b", "d", "f", "g", "k", "l",  "m",  "n",  "p",
                            "r", "s", "t", "v", "z", "st", "tr", "ch", "sh"};
    const char* nuclei[] = {"a", "e", "i", "o", "u", "ai", "ou", "ea"};
    for (const char* onset : onsets) {
      for (const char* nucleus : nuclei)
        out.push_back(std::string(onset) + nucleus);
    }
    const char* cyrillic[] = {"\xd0\xb0", "\xd0\xb5", "\xd0\xb8", "\xd0\xbe",
                              "\xd0\xba", "\xd0\xbb", "\xd0\xbc", "\xd0\xbd"};
    for (const char* a : cyrillic) {
      for (const char* b : cyrillic) out.push_back(std::string(a) + b);
    }
    for (uint32_t code = 0x4e00; code < 0x4e00 + 200; ++code) {
      out.push_back({static_cast<char>(0xe0 | (code >> 12)),
                     static_cast<char>(0x80 | ((code >> 6) & 0x3f)),
                     static_cast<char>(0x80 | (code & 0x3f))});
    }
    return out;
  }();

  std::vector<FullPieceSpec> pieces;
  std::unordered_set<std::string> seen;
  std::mt19937 rng(256000);
  for (const std::string& syllable : syllables) {
    seen.insert(syllable);
    pieces.push_back({syllable, 0.0f, FullPiece::NORMAL});
  }
  while (pieces.size() + 257 < size) {
    std::string piece = rng() % 2 == 0 ? "\xe2\x96\x81" : "";
    for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) {
      piece += syllables[rng() % syllables.size()];
    }
    if (seen.insert(piece).second)
      pieces.push_back({piece, 0.0f, FullPiece::NORMAL});
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    pieces[i].score = -static_cast<float>(i);
  }
  korvel::ModelProto full =
      testing::FullModelWithUnknown(pieces, korvel::TrainerSpec::BPE);
  testing::AddBytePieces(&full);
  full.mutable_trainer_spec()->set_byte_fallback(true);

  absl::StatusOr<std::string> lite = ToFlatbuffer(full, ConverterOptions());
  if (!lite.ok()) {
    std::fprintf(stderr, "synthetic model: %s\n",
                 std::string(lite.status().message()).c_str());
    std::exit(1);
  }
  return {*std::move(lite), full.ByteSizeLong()};
}

// The flatbuffer verification that loading a lite model starts with.
inline bool VerifyLiteModel(std::string_view bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  flatbuffers::Verifier::Options options;
  options.max_depth = 64;
  options.max_tables = 1000000;
  options.check_alignment = true;
  options.check_nested_flatbuffers = true;
  flatbuffers::Verifier verifier(data, bytes.size(), options);
  return verifier.VerifyBuffer<ModelProto>(nullptr);
}

}  // namespace korvel::lite

#endif  // KORVEL_BENCH_BENCH_MODELS_H_
