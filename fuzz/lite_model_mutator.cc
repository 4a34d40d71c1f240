#include "lite_model_mutator.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/model.h"
#include "korvel_model_converters/bigram_trie.h"
#include "test_models.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace korvel::lite::fuzzing {
namespace {

using Random = std::minstd_rand;

int Below(Random& random, int bound) {
  return bound <= 0 ? 0
                    : std::uniform_int_distribution<int>(0, bound - 1)(random);
}

bool Chance(Random& random) { return Below(random, 2) == 0; }

int PieceCount(const ModelProtoT& model) {
  return static_cast<int>(model.pieces.size());
}

// A text near the vocabulary: a piece, a part of one, two pieces joined, or a
// few arbitrary bytes.
std::string NearbyText(Random& random, const ModelProtoT& model) {
  const int n = PieceCount(model);
  const std::string& piece = model.pieces[Below(random, n)];
  switch (Below(random, 4)) {
    case 0:
      return piece;
    case 1:
      return piece.substr(0, 1 + Below(random, static_cast<int>(piece.size())));
    case 2:
      return piece + model.pieces[Below(random, n)];
    default: {
      std::string text(1 + Below(random, 4), ' ');
      for (char& c : text) c = static_cast<char>(1 + Below(random, 255));
      return text;
    }
  }
}

// A double-array blob of `pairs`; the first value of a key wins, empty keys
// are left out. Throws when the builder refuses a key.
std::vector<uint8_t> Trie(
    const std::vector<std::pair<std::string, int>>& pairs) {
  absl::flat_hash_set<std::string> seen;
  std::vector<std::pair<std::string, int>> unique;
  for (const auto& [key, value] : pairs) {
    if (!key.empty() && seen.insert(key).second)
      unique.emplace_back(key, value);
  }
  if (unique.empty()) return {};
  return testing::BuildTrieBlob(std::move(unique));
}

std::vector<std::pair<std::string, int>> PiecePairs(const ModelProtoT& model,
                                                    bool user_defined_only) {
  std::vector<std::pair<std::string, int>> pairs;
  for (int id = 0; id < PieceCount(model); ++id) {
    if (!user_defined_only || model.types[id] == PieceType_USER_DEFINED) {
      pairs.emplace_back(model.pieces[id], id);
    }
  }
  return pairs;
}

// Rebuilds the piece trie with up to three keys that are no piece text.
void AddTrieKeys(Random& random, ModelProtoT* model, bool user_defined) {
  std::vector<std::pair<std::string, int>> pairs =
      PiecePairs(*model, user_defined);
  for (int extra = Below(random, 3); extra >= 0; --extra) {
    pairs.emplace_back(NearbyText(random, *model),
                       Below(random, PieceCount(*model)));
  }
  (user_defined ? model->user_defined_trie : model->piece_trie) = Trie(pairs);
}

void MutateScore(Random& random, ModelProtoT* model) {
  const int id = Below(random, PieceCount(*model));
  static constexpr float kScores[] = {-1e38f,  1e38f,      0.0f, -0.5f,
                                      -1e-30f, -100001.0f, 3.0f};
  static constexpr int32_t kBpeScores[] = {std::numeric_limits<int32_t>::min(),
                                           std::numeric_limits<int32_t>::max(),
                                           0,
                                           -1,
                                           1,
                                           7};
  if (static_cast<size_t>(id) < model->scores.size()) {
    model->scores[id] = Chance(random)
                            ? kScores[Below(random, 7)]
                            : -static_cast<float>(Below(random, 200)) / 10;
  }
  if (static_cast<size_t>(id) < model->bpe_scores.size()) {
    model->bpe_scores[id] =
        Chance(random) ? kBpeScores[Below(random, 6)] : Below(random, 41) - 20;
  }
}

void SwitchModelType(Random& random, ModelProtoT* model) {
  if (model->model_type == ModelType_BPE) {
    model->model_type =
        Chance(random) ? ModelType_UNIGRAM : static_cast<ModelType>(3);
    model->scores.assign(model->bpe_scores.begin(), model->bpe_scores.end());
    model->scores.resize(model->pieces.size(), -1.0f);
  } else {
    model->model_type = ModelType_BPE;
    model->bpe_scores.clear();
    for (float score : model->scores) {
      model->bpe_scores.push_back(
          static_cast<int32_t>(std::fmax(std::fmin(score, 1e9f), -1e9f)));
    }
    model->bpe_scores.resize(model->pieces.size(), -1);
  }
}

void MutateNormalizer(Random& random, ModelProtoT* model) {
  if (model->normalizer_spec == nullptr) {
    model->normalizer_spec = testing::MakeNormalizerSpec(
        Chance(random), Chance(random), Chance(random), Chance(random));
    return;
  }
  NormalizerSpecT& spec = *model->normalizer_spec;
  switch (Below(random, 7)) {
    case 0:
      spec.add_dummy_prefix = !spec.add_dummy_prefix;
      break;
    case 1:
      spec.remove_extra_whitespaces = !spec.remove_extra_whitespaces;
      break;
    case 2:
      spec.escape_whitespaces = !spec.escape_whitespaces;
      break;
    case 3:
      spec.treat_whitespace_as_suffix = !spec.treat_whitespace_as_suffix;
      break;
    case 4:
      model->normalizer_spec.reset();
      break;
    case 5:
      spec.precompiled_charsmap.clear();
      break;
    default: {
      std::vector<std::pair<std::string, std::string>> rules;
      for (int rule = Below(random, 4); rule >= 0; --rule) {
        std::string target = Below(random, 4) == 0
                                 ? std::string(Below(random, 3), ' ')
                                 : NearbyText(random, *model);
        if (target.find('\0') != std::string::npos) target.clear();
        rules.emplace_back(NearbyText(random, *model), target);
      }
      absl::flat_hash_set<std::string> seen;
      std::vector<std::pair<std::string, std::string>> unique;
      for (auto& rule : rules) {
        if (seen.insert(rule.first).second) unique.push_back(std::move(rule));
      }
      spec.precompiled_charsmap = testing::BuildCharsMap(unique);
    }
  }
}

void MutateBigramTrie(Random& random, ModelProtoT* model) {
  std::vector<std::string> texts = model->pieces;
  switch (Below(random, 4)) {
    case 0:
      model->bigram_trie.clear();
      return;
    case 1:  // Some pairs go missing: chunks may cut through pieces.
      texts.erase(texts.begin() +
                  Below(random, static_cast<int>(texts.size())));
      break;
    case 2:
      texts.push_back(NearbyText(random, *model));
      break;
    default:
      break;
  }
  absl::StatusOr<std::vector<uint8_t>> trie = BuildBigramTrieBlob(texts);
  if (trie.ok()) model->bigram_trie = *std::move(trie);
}

void AddPiece(Random& random, ModelProtoT* model) {
  if (Below(random, 4) == 0 && model->pieces.size() < 1000) {
    for (int b = 0; b < 256; ++b) {
      model->pieces.push_back(ByteToPiece(static_cast<unsigned char>(b)));
      model->types.push_back(PieceType_BYTE);
    }
  } else {
    model->pieces.push_back(NearbyText(random, *model));
    model->types.push_back(static_cast<PieceType>(1 + Below(random, 6)));
  }
  if (!model->scores.empty()) model->scores.resize(model->pieces.size(), -2.0f);
  if (!model->bpe_scores.empty()) {
    model->bpe_scores.resize(model->pieces.size(), -2);
  }
  if (!model->direct_mapping_flags.empty()) {
    model->direct_mapping_flags.resize(model->pieces.size(), 1);
  }
  model->piece_trie = Trie(PiecePairs(*model, false));
}

void Mutate(Random& random, ModelProtoT* model) {
  const int n = PieceCount(*model);
  switch (Below(random, 11)) {
    case 0:
      model->types[Below(random, n)] = static_cast<PieceType>(Below(random, 8));
      if (Chance(random))
        model->user_defined_trie = Trie(PiecePairs(*model, true));
      break;
    case 1: {
      int32_t* ids[] = {&model->unk_id, &model->bos_id, &model->eos_id,
                        &model->pad_id};
      *ids[Below(random, 4)] = Below(random, n + 3) - 2;
      break;
    }
    case 2:
      MutateScore(random, model);
      break;
    case 3:
      SwitchModelType(random, model);
      break;
    case 4:
      MutateNormalizer(random, model);
      break;
    case 5:
      if (Chance(random)) {
        model->enable_direct_mapping = !model->enable_direct_mapping;
      } else if (Chance(random)) {
        model->direct_mapping_flags.clear();
      } else {
        model->direct_mapping_flags.resize(n);
        for (uint8_t& flag : model->direct_mapping_flags) flag = Chance(random);
      }
      break;
    case 6:
      AddTrieKeys(random, model, /*user_defined=*/Below(random, 3) == 0);
      break;
    case 7:
      model->pieces[Below(random, n)] = NearbyText(random, *model);
      model->piece_trie = Trie(PiecePairs(*model, false));
      break;
    case 8:
      MutateBigramTrie(random, model);
      break;
    case 9:
      model->unk_surface =
          Chance(random) ? std::string() : NearbyText(random, *model);
      break;
    default:
      AddPiece(random, model);
  }
}

}  // namespace

size_t MutateLiteModel(uint8_t* data, size_t size, size_t max_size,
                       unsigned int seed) {
  Random random(seed);
  flatbuffers::Verifier verifier(data, size);
  if (Chance(random) || size < 12 || !VerifyModelProtoBuffer(verifier)) {
    return LLVMFuzzerMutate(data, size, max_size);
  }
  std::unique_ptr<ModelProtoT> model(GetModelProto(data)->UnPack());
  if (model->pieces.empty() || model->types.size() != model->pieces.size()) {
    return LLVMFuzzerMutate(data, size, max_size);
  }
  std::string mutated;
  try {
    for (int step = Below(random, 3); step >= 0; --step)
      Mutate(random, model.get());
    mutated = testing::Pack(*model);
  } catch (const std::exception&) {
    // The trie builder refused a key (a NUL byte, for instance).
    return LLVMFuzzerMutate(data, size, max_size);
  }
  if (mutated.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, mutated.data(), mutated.size());
  return mutated.size();
}

}  // namespace korvel::lite::fuzzing
