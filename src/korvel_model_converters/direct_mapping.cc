#include "korvel_model_converters/internal/direct_mapping.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"

namespace korvel::lite {
namespace {

constexpr size_t kMaxTestedPieceBytes = 128;

bool NeverMatchesText(PieceType type) {
  return type == PieceType_UNKNOWN || type == PieceType_CONTROL ||
         type == PieceType_UNUSED || type == PieceType_BYTE;
}

}  // namespace

void FinishLiteModel(const ModelProtoT& model,
                     flatbuffers::FlatBufferBuilder* builder) {
  builder->Finish(ModelProto::Pack(*builder, &model));
}

absl::Status DecideDirectMapping(ModelProtoT* model) {
  flatbuffers::FlatBufferBuilder builder;
  {
    std::unique_ptr<NormalizerSpecT> normalizer_spec =
        std::move(model->normalizer_spec);
    std::vector<uint8_t> bigram_trie = std::move(model->bigram_trie);
    model->normalizer_spec = nullptr;
    model->bigram_trie.clear();
    FinishLiteModel(*model, &builder);
    model->normalizer_spec = std::move(normalizer_spec);
    model->bigram_trie = std::move(bigram_trie);
  }

  const KorvelLiteProcessor processor(std::string_view(
      reinterpret_cast<const char*>(builder.GetBufferPointer()),
      builder.GetSize()));
  if (processor.status() != absl::StatusCode::kOk) {
    return absl::InternalError(
        "Failed to initialize preliminary processor for BPE direct mapping.");
  }

  const size_t vocab_size = model->pieces.size();
  std::vector<uint8_t> flags(vocab_size, 0);
  bool all_pass = true;
  bool any_pass = false;
  std::vector<int> ids;
  ids.reserve(16);
  for (size_t id = 0; id < vocab_size; ++id) {
    if (NeverMatchesText(model->types[id])) {
      flags[id] = 1;
      continue;
    }
    // The unknown piece, even when it encodes to itself alone, joins the
    // unknown text around it; emitted whole it would stand apart.
    const std::string& piece = model->pieces[id];
    const bool passes = static_cast<int>(id) != model->unk_id &&
                        piece.size() <= kMaxTestedPieceBytes &&
                        processor.EncodeNormalizedChunk(piece, &ids, nullptr) ==
                            absl::StatusCode::kOk &&
                        ids.size() == 1 && ids[0] == static_cast<int>(id);
    if (passes) {
      flags[id] = 1;
      any_pass = true;
    } else {
      all_pass = false;
    }
  }

  if (any_pass) {
    model->enable_direct_mapping = true;
    if (!all_pass) model->direct_mapping_flags = std::move(flags);
  }
  return absl::OkStatus();
}

}  // namespace korvel::lite
