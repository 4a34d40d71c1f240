// Conversion of a synthetic 256,000-piece BPE model into a lite model, beside
// the same vocabulary converted as a unigram model (no bigram trie, no direct
// mapping) and the parse of the serialized full model as baselines.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>

#include "korvel_lite/model.h"
#include "korvel_model_converters/model_converter.h"
#include "korvel_proto/korvel_model.pb.h"

namespace {

constexpr int kVocabSize = 256000;

void AddPiece(const std::string& text, float score,
              korvel::ModelProto::Piece::Type type, korvel::ModelProto* model) {
  korvel::ModelProto::Piece* piece = model->add_pieces();
  piece->set_piece(text);
  piece->set_score(score);
  piece->set_type(type);
}

// Special pieces, the 256 byte pieces, then pieces of one to eight parts drawn
// from ASCII letters and syllables, the word-boundary mark and 2- to 4-byte
// characters, scored by rank like a trained BPE vocabulary. Deterministic.
korvel::ModelProto MakeSyntheticModel() {
  static const char* const kParts[] = {"a",
                                       "b",
                                       "c",
                                       "d",
                                       "e",
                                       "f",
                                       "g",
                                       "h",
                                       "i",
                                       "k",
                                       "l",
                                       "m",
                                       "n",
                                       "o",
                                       "p",
                                       "r",
                                       "s",
                                       "t",
                                       "u",
                                       "w",
                                       "y",
                                       "th",
                                       "er",
                                       "in",
                                       "ing",
                                       "ion",
                                       "re",
                                       "\xe2\x96\x81",
                                       "\xc3\xa9",
                                       "\xd0\xb0",
                                       "\xe3\x81\xae",
                                       "\xe4\xb8\x80",
                                       "\xf0\x9f\x98\x80"};
  constexpr int kNumParts = sizeof(kParts) / sizeof(kParts[0]);
  korvel::ModelProto model;
  model.mutable_trainer_spec()->set_model_type(korvel::TrainerSpec::BPE);
  model.mutable_trainer_spec()->set_byte_fallback(true);
  model.mutable_normalizer_spec()->set_name("identity");
  AddPiece("<unk>", 0, korvel::ModelProto::Piece::UNKNOWN, &model);
  AddPiece("<s>", 0, korvel::ModelProto::Piece::CONTROL, &model);
  AddPiece("</s>", 0, korvel::ModelProto::Piece::CONTROL, &model);
  for (int b = 0; b < 256; ++b) {
    AddPiece(korvel::lite::ByteToPiece(static_cast<unsigned char>(b)), 0,
             korvel::ModelProto::Piece::BYTE, &model);
  }
  std::unordered_set<std::string> seen;
  for (const char* part : kParts) {
    seen.insert(part);
    AddPiece(part, 0, korvel::ModelProto::Piece::NORMAL, &model);
  }
  std::mt19937 rng(20240612);
  std::uniform_int_distribution<int> part(0, kNumParts - 1);
  std::uniform_int_distribution<int> num_parts(2, 8);
  while (model.pieces_size() < kVocabSize) {
    std::string text;
    for (int n = num_parts(rng); n > 0; --n) text += kParts[part(rng)];
    if (!seen.insert(text).second) continue;
    AddPiece(text, -static_cast<float>(model.pieces_size()),
             korvel::ModelProto::Piece::NORMAL, &model);
  }
  return model;
}

const korvel::ModelProto& SyntheticModel() {
  static const korvel::ModelProto* const model =
      new korvel::ModelProto(MakeSyntheticModel());
  return *model;
}

void Convert(benchmark::State& state, korvel::TrainerSpec::ModelType type) {
  korvel::ModelProto model = SyntheticModel();
  model.mutable_trainer_spec()->set_model_type(type);
  size_t lite_bytes = 0;
  for (auto _ : state) {
    absl::StatusOr<std::string> lite =
        korvel::lite::ToFlatbuffer(model, korvel::lite::ConverterOptions());
    if (!lite.ok()) {
      state.SkipWithError(std::string(lite.status().message()).c_str());
      return;
    }
    lite_bytes = lite->size();
    benchmark::DoNotOptimize(lite->data());
  }
  state.counters["lite_bytes"] = static_cast<double>(lite_bytes);
  state.counters["full_bytes"] = static_cast<double>(model.ByteSizeLong());
}

void BM_ConvertBpe(benchmark::State& state) {
  Convert(state, korvel::TrainerSpec::BPE);
}
BENCHMARK(BM_ConvertBpe)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ConvertUnigram(benchmark::State& state) {
  Convert(state, korvel::TrainerSpec::UNIGRAM);
}
BENCHMARK(BM_ConvertUnigram)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ParseFullModel(benchmark::State& state) {
  const std::string bytes = SyntheticModel().SerializeAsString();
  for (auto _ : state) {
    korvel::ModelProto model;
    benchmark::DoNotOptimize(model.ParseFromString(bytes));
  }
  state.counters["full_bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_ParseFullModel)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
