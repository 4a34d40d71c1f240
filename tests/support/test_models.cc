#include "test_models.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "darts/darts.h"
#include "korvel_lite/model.h"

namespace korvel::lite::testing {

std::vector<uint8_t> BuildTrieBlob(
    std::vector<std::pair<std::string, int>> pairs) {
  std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
    return std::lexicographical_compare(
        a.first.begin(), a.first.end(), b.first.begin(), b.first.end(),
        [](char x, char y) {
          return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        });
  });
  std::vector<const char*> keys;
  std::vector<size_t> lengths;
  std::vector<int> values;
  for (const auto& [key, value] : pairs) {
    keys.push_back(key.data());
    lengths.push_back(key.size());
    values.push_back(value);
  }
  Darts::DoubleArray trie;
  if (trie.build(keys.size(), keys.data(), lengths.data(), values.data()) !=
      0) {
    throw std::runtime_error("double-array build failed");
  }
  std::vector<uint8_t> blob(trie.total_size());
  std::memcpy(blob.data(), trie.array(), blob.size());
  return blob;
}

std::vector<uint8_t> BuildCharsMap(
    const std::vector<std::pair<std::string, std::string>>& rules) {
  std::string pool;
  std::vector<std::pair<std::string, int>> pairs;
  for (const auto& [source, replacement] : rules) {
    pairs.emplace_back(source, static_cast<int>(pool.size()));
    pool += replacement;
    pool.push_back('\0');
  }
  const std::vector<uint8_t> trie = BuildTrieBlob(pairs);
  std::vector<uint8_t> blob(4 + trie.size() + pool.size());
  const auto trie_size = static_cast<uint32_t>(trie.size());
  std::memcpy(blob.data(), &trie_size, 4);
  std::memcpy(blob.data() + 4, trie.data(), trie.size());
  std::memcpy(blob.data() + 4 + trie.size(), pool.data(), pool.size());
  return blob;
}

std::vector<uint8_t> FoldingCharsMap() {
  return BuildCharsMap({
      {"\xef\xbc\xa1", "A"},                         // FULLWIDTH A
      {"\xef\xbc\xa2", "B"},                         // FULLWIDTH B
      {"\xef\xbd\x82", "b"},                         // FULLWIDTH b
      {"\xef\xac\x81", "fi"},                        // LIGATURE fi
      {"\xc2\xad", ""},                              // SOFT HYPHEN
      {"\xef\xbd\xb6", "\xe3\x82\xab"},              // HALFWIDTH KA -> KA
      {"\xef\xbd\xb6\xef\xbe\x9e", "\xe3\x82\xac"},  // KA + VOICED -> GA
      {"\xe3\x80\x80", " "},                         // IDEOGRAPHIC SPACE
      {"\xe2\x91\xb4", "a  b"},
  });
}

std::vector<TestPiece> BytePieces() {
  std::vector<TestPiece> pieces;
  for (int b = 0; b < 256; ++b) {
    pieces.push_back(
        {ByteToPiece(static_cast<unsigned char>(b)), 0.0f, PieceType_BYTE});
  }
  return pieces;
}

ModelProtoT MakeModel(const std::vector<TestPiece>& pieces,
                      ModelType model_type) {
  ModelProtoT model;
  model.model_type = model_type;
  model.unk_id = -1;
  std::vector<std::pair<std::string, int>> piece_pairs;
  std::vector<std::pair<std::string, int>> user_defined_pairs;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const TestPiece& piece = pieces[i];
    const int id = static_cast<int>(i);
    model.pieces.push_back(piece.text);
    model.types.push_back(piece.type);
    if (model_type == ModelType_BPE) {
      model.bpe_scores.push_back(static_cast<int32_t>(std::trunc(piece.score)));
    } else {
      model.scores.push_back(piece.score);
    }
    piece_pairs.emplace_back(piece.text, id);
    if (piece.type == PieceType_USER_DEFINED) {
      user_defined_pairs.emplace_back(piece.text, id);
    }
    if (piece.type == PieceType_UNKNOWN && model.unk_id == -1)
      model.unk_id = id;
  }
  if (!piece_pairs.empty()) model.piece_trie = BuildTrieBlob(piece_pairs);
  if (!user_defined_pairs.empty()) {
    model.user_defined_trie = BuildTrieBlob(user_defined_pairs);
  }
  return model;
}

std::unique_ptr<NormalizerSpecT> MakeNormalizerSpec(
    bool add_dummy_prefix, bool remove_extra_whitespaces,
    bool escape_whitespaces, bool treat_whitespace_as_suffix,
    std::vector<uint8_t> charsmap) {
  auto spec = std::make_unique<NormalizerSpecT>();
  spec->add_dummy_prefix = add_dummy_prefix;
  spec->remove_extra_whitespaces = remove_extra_whitespaces;
  spec->escape_whitespaces = escape_whitespaces;
  spec->treat_whitespace_as_suffix = treat_whitespace_as_suffix;
  spec->precompiled_charsmap = std::move(charsmap);
  return spec;
}

std::string Pack(const ModelProtoT& model) {
  flatbuffers::FlatBufferBuilder builder;
  builder.Finish(ModelProto::Pack(builder, &model));
  return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()),
                     builder.GetSize());
}

std::shared_ptr<std::string> PackShared(const ModelProtoT& model) {
  return std::make_shared<std::string>(Pack(model));
}

}  // namespace korvel::lite::testing
