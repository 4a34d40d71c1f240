#include "korvel_tokenizer/model_info.h"

#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"

namespace korvel::tokenizer {
namespace {

std::optional<size_t> BlobSize(const flatbuffers::Vector<uint8_t>* blob) {
  if (blob == nullptr) return std::nullopt;
  return blob->size();
}

std::string Text(const flatbuffers::String* text) {
  return text == nullptr ? std::string() : text->str();
}

ModelInfo::PieceTypeCounts CountPieceTypes(const lite::Model& model) {
  uint64_t counts[7] = {};
  for (size_t id = 0; id < model.vocab_size(); ++id) {
    const int type = model.types[id];
    if (type >= 1 && type <= 6) ++counts[type];
  }
  return {counts[1], counts[2], counts[3], counts[4], counts[5], counts[6]};
}

ModelInfo::NormalizerInfo DescribeNormalizer(const lite::NormalizerSpec& spec) {
  ModelInfo::NormalizerInfo info;
  info.name = Text(spec.name());
  info.add_dummy_prefix = spec.add_dummy_prefix();
  info.remove_extra_whitespaces = spec.remove_extra_whitespaces();
  info.escape_whitespaces = spec.escape_whitespaces();
  info.whitespace_as_suffix = spec.treat_whitespace_as_suffix();
  info.charsmap_size = BlobSize(spec.precompiled_charsmap());
  return info;
}

void DescribeByteLevel(const lite::ByteLevelSpec& spec, ModelInfo* info) {
  info->ignore_merges = spec.ignore_merges();
  if (spec.pretokenizer() == nullptr) return;
  for (const lite::PretokenizerStep* step : *spec.pretokenizer()) {
    info->pretokenizer.push_back({step->family(), Text(step->pattern())});
  }
}

void DescribeDirectMapping(const lite::ModelProto& root, ModelInfo* info) {
  info->direct_mapping = root.enable_direct_mapping();
  const flatbuffers::Vector<uint8_t>* flags = root.direct_mapping_flags();
  if (!info->direct_mapping || flags == nullptr) return;
  uint64_t allowed = 0;
  for (const uint8_t flag : *flags) allowed += flag != 0;
  info->direct_mapping_pieces = allowed;
}

}  // namespace

ModelInfo DescribeModel(const Tokenizer& tokenizer) {
  const lite::Model& model = *tokenizer.processor().model();
  const lite::ModelProto& root = *model.root;
  ModelInfo info;
  info.kind = tokenizer.model_kind();
  info.model_type = model.model_type;
  info.piece_types = CountPieceTypes(model);
  info.unk_surface = std::string(model.unk_surface());
  info.byte_fallback = model.byte_piece_ids[0] >= 0;
  DescribeDirectMapping(root, &info);
  if (model.normalizer.spec != nullptr) {
    info.normalizer = DescribeNormalizer(*model.normalizer.spec);
  }
  if (model.byte_level) DescribeByteLevel(*root.byte_level(), &info);
  info.piece_trie_size = BlobSize(root.piece_trie());
  info.user_defined_trie_size = BlobSize(root.user_defined_trie());
  info.bigram_trie_size = BlobSize(root.bigram_trie());
  return info;
}

}  // namespace korvel::tokenizer
