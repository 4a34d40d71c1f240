#include "conversion_checks.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "absl/container/flat_hash_map.h"
#include "fuzz_checks.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/model.h"

namespace korvel::lite::fuzzing {
namespace {

constexpr size_t kMaxUnknownSurfaceBytes = 4096;

uint32_t Offset(uint32_t unit) {
  return (unit >> 10) << ((unit & (1u << 9)) >> 6);
}

// The rules a double-array blob must meet to be bound, with values below
// `max_value`.
bool IsValidTrie(const uint8_t* data, size_t size, uint32_t max_value) {
  if (size < 1024 || size % 1024 != 0 ||
      reinterpret_cast<uintptr_t>(data) % 4 != 0) {
    return false;
  }
  const size_t num_units = size / 4;
  auto unit = [data](size_t i) {
    uint32_t u;
    std::memcpy(&u, data + 4 * i, 4);
    return u;
  };
  const uint32_t root = unit(0);
  if ((root & 0x800001ffu) != 0 || Offset(root) == 0 ||
      (Offset(root) | 0xffu) >= num_units) {
    return false;
  }
  for (size_t i = 1; i < num_units; ++i) {
    const uint32_t u = unit(i);
    if (u & 0x80000000u) {
      if ((u & 0x7fffffffu) >= max_value) return false;
      continue;
    }
    const size_t base = i ^ Offset(u);
    if ((base | 0xff) >= num_units) return false;
    if ((u & 0x100u) && !(unit(base) & 0x80000000u)) return false;
  }
  return true;
}

bool IsMalformedCharsMap(const NormalizerSpec* spec) {
  if (spec == nullptr || spec->precompiled_charsmap() == nullptr ||
      spec->precompiled_charsmap()->size() == 0) {
    return false;
  }
  const uint8_t* blob = spec->precompiled_charsmap()->data();
  const size_t size = spec->precompiled_charsmap()->size();
  if (size < 5 || blob[size - 1] != 0) return true;
  uint32_t trie_size;
  std::memcpy(&trie_size, blob, 4);
  if (trie_size >= size - 4) return true;
  // No replacement may be longer than the longest piece text, 4096 bytes.
  size_t run = 0;
  for (size_t i = 4 + size_t{trie_size}; i < size; ++i) {
    run = blob[i] == 0 ? 0 : run + 1;
    if (run > 4096) return true;
  }
  return !IsValidTrie(blob + 4, trie_size,
                      static_cast<uint32_t>(size - 4 - trie_size));
}

// A model needs an unknown id, or the 256 BYTE pieces "<0x00>" ... "<0xFF>"
// at consecutive ids once "<0x00>" is a BYTE piece.
bool BreaksBytePieceRule(const ModelProto& model) {
  const auto& pieces = *model.pieces();
  const auto& types = *model.types();
  absl::flat_hash_map<std::string_view, int> ids;
  for (uint32_t id = 0; id < pieces.size(); ++id) {
    ids.emplace(pieces[id]->string_view(), static_cast<int>(id));
  }
  auto first = ids.find(ByteToPiece(0));
  if (first == ids.end() || types[first->second] != PieceType_BYTE) {
    return model.unk_id() == -1;
  }
  for (int byte = 0; byte < 256; ++byte) {
    auto it = ids.find(ByteToPiece(static_cast<unsigned char>(byte)));
    if (it == ids.end() || it->second != first->second + byte ||
        types[it->second] != PieceType_BYTE) {
      return true;
    }
  }
  return false;
}

}  // namespace

const char* RuleLeftToLoading(std::string_view lite) {
  const ModelProto& model = *GetModelProto(lite.data());
  if (IsMalformedCharsMap(model.normalizer_spec())) {
    return "malformed character map";
  }
  if (model.model_type() == ModelType_BPE || model.byte_level() != nullptr) {
    return nullptr;
  }
  const int vocab_size = static_cast<int>(model.pieces()->size());
  if (model.scores() != nullptr) {
    for (float score : *model.scores()) {
      if (!std::isfinite(score)) return "unigram score that is not finite";
    }
  }
  if (model.unk_id() < -1 || model.unk_id() >= vocab_size) {
    return "unigram unknown id out of range";
  }
  if (model.unk_surface() != nullptr &&
      model.unk_surface()->size() > kMaxUnknownSurfaceBytes) {
    return "unigram unknown surface too long";
  }
  if (BreaksBytePieceRule(model)) return "unigram byte pieces incomplete";
  return nullptr;
}

void CheckConversion(const korvel::ModelProto& model,
                     const ConverterOptions& options) {
  const absl::StatusOr<std::string> lite = ToFlatbuffer(model, options);
  if (!lite.ok()) {
    const absl::StatusCode code = lite.status().code();
    Require(code == absl::StatusCode::kInvalidArgument ||
                code == absl::StatusCode::kInternal,
            "conversion failed with an unexpected code");
    return;
  }
  const KorvelLiteProcessor processor(*lite);
  const char* rule = RuleLeftToLoading(*lite);
  if (processor.status() != absl::StatusCode::kOk) {
    Require(rule != nullptr, "a converted model does not load");
    return;
  }
  Require(rule == nullptr,
          "a converted model loads although it breaks a loading rule");
  CheckLoadedModel(processor, /*converter_built=*/true);
}

}  // namespace korvel::lite::fuzzing
