#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <utility>

#include "reference_text.h"
#include "reference_utf8.h"

namespace korvel::lite::fuzzing {
namespace {

bool IsMatchable(const Model& model, int id) {
  return model.types[id] == PieceType_NORMAL ||
         model.types[id] == PieceType_USER_DEFINED;
}

constexpr uint32_t kNoNode = 0xffffffffu;

// The piece_trie node reached from `node` over `bytes`, or kNoNode.
uint32_t Walk(const DoubleArray& trie, uint32_t node, std::string_view bytes) {
  if (!trie.bound()) return kNoNode;
  for (unsigned char ch : bytes) {
    const int32_t child = trie.child_index(node, ch);
    if (child < 0) return kNoNode;
    node = static_cast<uint32_t>(child);
  }
  return node;
}

// The NORMAL or USER_DEFINED piece whose text ends at `node`, or -1.
int PieceAt(const Model& model, uint32_t node) {
  if (node == kNoNode || !DoubleArray::has_leaf(model.piece_trie.units[node])) {
    return -1;
  }
  const int id = model.piece_trie.leaf_value(node);
  return IsMatchable(model, id) ? id : -1;
}

void EmitForward(const Model& model, int id, std::string_view surface,
                 std::vector<int>* ids, std::vector<std::string_view>* views) {
  if (id == model.unk_id && model.first_byte_piece_id != -1) {
    for (size_t i = 0; i < surface.size(); ++i) {
      ids->push_back(model.first_byte_piece_id +
                     static_cast<unsigned char>(surface[i]));
      const bool last = i + 1 == surface.size();
      views->push_back(surface.substr(0, last ? surface.size() : 0));
    }
    return;
  }
  if (id == model.unk_id && !ids->empty() && ids->back() == model.unk_id) {
    if (!views->empty()) {
      views->back() = std::string_view(views->back().data(),
                                       views->back().size() + surface.size());
    }
    return;
  }
  ids->push_back(id);
  views->push_back(surface);
}

// Emission for an encoder that finds pieces from last to first; the caller
// reverses what it appended afterwards.
void EmitBackward(const Model& model, int id, std::string_view surface,
                  std::vector<int>* ids, std::vector<std::string_view>* views) {
  if (id == model.unk_id && model.first_byte_piece_id != -1) {
    for (size_t i = surface.size(); i-- > 0;) {
      ids->push_back(model.first_byte_piece_id +
                     static_cast<unsigned char>(surface[i]));
      views->push_back(surface.substr(0, i == 0 ? surface.size() : 0));
    }
    return;
  }
  if (id == model.unk_id && !ids->empty() && ids->back() == model.unk_id) {
    if (!views->empty()) {
      views->back() = std::string_view(surface.data(),
                                       surface.size() + views->back().size());
    }
    return;
  }
  ids->push_back(id);
  views->push_back(surface);
}

float Perturb(float score, float alpha, absl::FunctionRef<float()> rng) {
  float u = rng();
  if (u < 1e-6f) {
    u = 1e-6f;
  } else if (u > 0.999999f) {
    u = 0.999999f;
  }
  return score - alpha * std::log(-std::log(u));
}

struct Symbol {
  std::string_view text;
  int prev;
  int next;
  int id;
  bool frozen;
  uint32_t node;
};

// A pair of adjacent symbols that one piece spells.
struct Merge {
  int left = -1;
  int score = 0;
  int id = -1;
  uint32_t node = kNoNode;
};

}  // namespace

std::vector<std::string_view> ReferencePretokenize(const Model& model,
                                                   std::string_view text) {
  std::vector<std::string_view> chunks;
  if (text.empty()) return chunks;
  const DoubleArray& trie = model.bigram_trie;
  if (!trie.bound()) return {text};
  const size_t size = text.size();
  auto char_length = [&](size_t at) {
    return std::min<size_t>(CharLength(static_cast<unsigned char>(text[at])),
                            size - at);
  };
  // The state after the character at `at` when it starts a chunk.
  auto state_from_root = [&](size_t at, size_t length) -> int64_t {
    if (length == 1) {
      return model.bigram_root_children[static_cast<unsigned char>(text[at])];
    }
    const uint32_t node = Walk(trie, 0, text.substr(at, length));
    return node == kNoNode ? -1 : static_cast<int64_t>(node);
  };
  auto is_letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  };
  size_t start = 0;
  size_t length = char_length(0);
  int64_t state = state_from_root(0, length);
  for (size_t at = length; at < size;) {
    if (static_cast<unsigned char>(text[at]) < 0x80 && size - at >= 8) {
      size_t letters = 0;
      while (letters < 8 && is_letter(text[at + letters])) ++letters;
      if (letters > 0) {
        at += letters;
        state =
            model
                .bigram_root_children[static_cast<unsigned char>(text[at - 1])];
        continue;
      }
    }
    length = char_length(at);
    const uint32_t node = state == -1 ? kNoNode
                                      : Walk(trie, static_cast<uint32_t>(state),
                                             text.substr(at, length));
    if (node != kNoNode && DoubleArray::has_leaf(trie.units[node])) {
      state = trie.leaf_value(node);
    } else {
      chunks.push_back(text.substr(start, at - start));
      start = at;
      state = state_from_root(at, length);
    }
    at += length;
  }
  chunks.push_back(text.substr(start));
  return chunks;
}

void ReferenceEncodeBpeChunk(const Model& model, std::string_view chunk,
                             float alpha, absl::FunctionRef<float()>* rng,
                             std::vector<int>* ids,
                             std::vector<std::string_view>* views) {
  if (chunk.empty()) return;
  if (rng == nullptr) {
    const int id = model.piece_trie.exact_lookup(chunk);
    const auto* flags = model.root->direct_mapping_flags();
    if (id >= 0 && static_cast<size_t>(id) < model.vocab_size() &&
        IsMatchable(model, id) && model.root->enable_direct_mapping() &&
        (flags == nullptr || (*flags)[id] != 0)) {
      ids->push_back(id);
      views->push_back(chunk);
      return;
    }
  }

  std::vector<Symbol> symbols;
  for (size_t at = 0; at < chunk.size();) {
    const std::string_view rest = chunk.substr(at);
    Symbol symbol{{},
                  static_cast<int>(symbols.size()) - 1,
                  static_cast<int>(symbols.size()) + 1,
                  model.unk_id,
                  false,
                  kNoNode};
    const DoubleArray::Match user_defined =
        model.user_defined_trie.longest_prefix_lookup(rest);
    if (user_defined.length > 0 &&
        model.types[user_defined.value] == PieceType_USER_DEFINED) {
      symbol.text = rest.substr(0, user_defined.length);
      symbol.id = user_defined.value;
      symbol.frozen = true;
    } else {
      symbol.text =
          rest.substr(0, CharLength(static_cast<unsigned char>(rest[0])));
      symbol.node = Walk(model.piece_trie, 0, symbol.text);
      const int id = PieceAt(model, symbol.node);
      if (id >= 0) symbol.id = id;
    }
    at += symbol.text.size();
    symbols.push_back(symbol);
  }
  symbols.back().next = -1;

  // Each round scans every adjacent pair and merges the best: the highest
  // score, the leftmost among equals. Under dropout a refused pair stays
  // refused until one of its two symbols changes; a pair is named by its left
  // symbol and the size of both, which no later pair repeats.
  std::set<std::pair<int, size_t>> refused;
  while (alpha < 1.0f) {
    Merge best;
    for (int i = 0; symbols[i].next != -1; i = symbols[i].next) {
      const Symbol& l = symbols[i];
      const Symbol& r = symbols[l.next];
      if (l.frozen || r.frozen || l.node == kNoNode) continue;
      const uint32_t node = Walk(model.piece_trie, l.node, r.text);
      const int id = PieceAt(model, node);
      if (id < 0 || refused.count({i, l.text.size() + r.text.size()}) > 0) {
        continue;
      }
      if (best.left < 0 || model.bpe_scores[id] > best.score) {
        best = {i, model.bpe_scores[id], id, node};
      }
    }
    if (best.left < 0) break;
    Symbol& left = symbols[best.left];
    Symbol& right = symbols[left.next];
    const size_t size = left.text.size() + right.text.size();
    if (rng != nullptr && alpha > (*rng)()) {
      refused.insert({best.left, size});
      continue;
    }
    left.text = std::string_view(left.text.data(), size);
    left.id = best.id;
    left.node = best.node;
    right.text = std::string_view();
    left.next = right.next;
  }
  for (int i = 0; i != -1; i = symbols[i].next) {
    if (!symbols[i].text.empty()) {
      EmitForward(model, symbols[i].id, symbols[i].text, ids, views);
    }
  }
}

namespace {

// The matchable piece of byte string `text`, or -1.
int ByteLevelPieceOf(const Model& model, std::string_view text) {
  if (text == std::string_view("\0", 1)) return model.PieceToId("<0x00>");
  const int id = model.piece_trie.exact_lookup(text);
  return id >= 0 && IsMatchable(model, id) ? id : -1;
}

void MergeByteLevelPretoken(const Model& model, std::string_view pretoken,
                            std::vector<int>* ids,
                            std::vector<std::string_view>* views) {
  std::vector<std::string_view> symbols;
  for (size_t at = 0; at < pretoken.size(); ++at) {
    symbols.push_back(pretoken.substr(at, 1));
  }
  if (model.ignore_merges && ByteLevelPieceOf(model, pretoken) >= 0) {
    symbols = {pretoken};
  }
  for (;;) {
    int best = -1;
    int32_t best_score = 0;
    for (size_t i = 0; i + 1 < symbols.size(); ++i) {
      const int id = ByteLevelPieceOf(
          model,
          {symbols[i].data(), symbols[i].size() + symbols[i + 1].size()});
      if (id >= 0 && (best == -1 || model.bpe_scores[id] > best_score)) {
        best = static_cast<int>(i);
        best_score = model.bpe_scores[id];
      }
    }
    if (best == -1) break;
    symbols[best] = {symbols[best].data(),
                     symbols[best].size() + symbols[best + 1].size()};
    symbols.erase(symbols.begin() + best + 1);
  }
  for (const std::string_view symbol : symbols) {
    ids->push_back(ByteLevelPieceOf(model, symbol));
    views->push_back(symbol);
  }
}

}  // namespace

void ReferenceEncodeByteLevel(const Model& model, std::string_view text,
                              std::vector<int>* ids,
                              std::vector<std::string_view>* views) {
  size_t start = 0;
  for (size_t at = 0; at <= text.size(); ++at) {
    const DoubleArray::Match user_defined =
        model.user_defined_trie.longest_prefix_lookup(text.substr(at));
    const bool cut = user_defined.length > 0 &&
                     model.types[user_defined.value] == PieceType_USER_DEFINED;
    if (!cut && at < text.size()) continue;
    pretokenizer::ForEachPretoken(
        model.pretokenizer_steps, text.substr(start, at - start),
        [&](std::string_view pretoken) {
          MergeByteLevelPretoken(model, pretoken, ids, views);
        });
    if (!cut) break;
    ids->push_back(user_defined.value);
    views->push_back(text.substr(at, user_defined.length));
    start = at + user_defined.length;
    at = start - 1;
  }
}

std::string ByteLevelMismatch(const KorvelLiteProcessor& processor,
                              std::string_view text) {
  std::vector<int> expected, ids, cached;
  std::vector<std::string_view> expected_views, views;
  ReferenceEncodeByteLevel(*processor.model(), text, &expected,
                           &expected_views);
  processor.EncodeNormalized(text, &ids, &views);
  processor.EncodeNormalized(text, &cached, nullptr);
  if (ids != expected || views != expected_views) return "ids or views";
  if (cached != expected) return "ids without views";
  std::string decoded;
  processor.Decode(ids, &decoded, nullptr);
  return decoded == text ? "" : "decoded text";
}

void ReferenceEncodeUnigram(const Model& model, std::string_view text,
                            float alpha, absl::FunctionRef<float()>* rng,
                            std::vector<int>* ids,
                            std::vector<std::string_view>* views) {
  struct Node {
    int id = -1;
    float score = 0.0f;
    int start = -1;
  };
  const int size = static_cast<int>(text.size());
  if (size == 0) return;
  std::vector<Node> nodes(size + 1);
  int max_end = 0;
  auto offer = [&](int start, int end, int id, float total) {
    Node& node = nodes[end];
    if (node.start == -1 || total > node.score) node = {id, total, start};
  };
  for (int pos = 0; pos < size;) {
    float base = nodes[pos].score;
    const float threshold = model.score_reset_threshold;
    if (std::isfinite(base) && (base < -threshold || base > threshold)) {
      nodes[pos].score = 0.0f;
      for (int k = pos + 1; k <= max_end; ++k) {
        if (nodes[k].start != -1) nodes[k].score -= base;
      }
      base = 0.0f;
    }
    const int length =
        std::min(CharLength(static_cast<unsigned char>(text[pos])), size - pos);
    bool covered = false;
    model.piece_trie.common_prefix_lookup(
        text.substr(pos), [&](int32_t id, int32_t key_length) {
          if (!IsMatchable(model, id)) return;
          max_end = std::max(max_end, pos + key_length);
          float score = model.types[id] == PieceType_NORMAL
                            ? model.scores[id]
                            : static_cast<float>(key_length - 1) * 0.1f;
          if (rng != nullptr) score = Perturb(score, alpha, *rng);
          offer(pos, pos + key_length, id, score + base);
          if (key_length == length) covered = true;
        });
    if (!covered) {
      max_end = std::max(max_end, pos + length);
      float score = model.unk_score;
      if (rng != nullptr) score = Perturb(score, alpha, *rng);
      offer(pos, pos + length, model.unk_id, base + score);
    }
    pos += length;
  }
  std::vector<int> path_ids;
  std::vector<std::string_view> path_views;
  for (int end = size; end > 0; end = nodes[end].start) {
    const Node& node = nodes[end];
    EmitBackward(model, node.id, text.substr(node.start, end - node.start),
                 &path_ids, &path_views);
  }
  // Front to back onto the output, so that a leading unknown piece joins one
  // that an earlier call left at its end. Byte fallback has already spelled
  // unknown pieces out in bytes, which must not be read as unknown again
  // when the unknown id is itself a byte piece.
  for (size_t i = path_ids.size(); i-- > 0;) {
    if (model.first_byte_piece_id == -1) {
      EmitForward(model, path_ids[i], path_views[i], ids, views);
    } else {
      ids->push_back(path_ids[i]);
      views->push_back(path_views[i]);
    }
  }
}

}  // namespace korvel::lite::fuzzing
