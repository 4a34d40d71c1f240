// Unigram segmentation: the best-scoring path through the lattice of piece
// matches, or a sampled one when every candidate is perturbed with Gumbel
// noise.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "korvel_lite/emit_piece.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

// The best path found so far into one byte offset: its last piece `id`, which
// starts at `start` (-1 while the offset is unreached), and its total `score`.
struct ViterbiNode {
  int32_t id = -1;
  float score = 0.0f;
  int32_t start = -1;
};

constexpr size_t kInlineNodes = 128;
constexpr size_t kMinHeapNodes = 256;

// A user-defined piece scores 0.1 per byte beyond the first, so it beats any
// split into normal pieces, whose scores are negative.
constexpr float kUserDefinedScorePerByte = 0.1f;

// Uniform draws are clamped to [1e-6, 0.999999] (as floats) before the Gumbel
// transform so that neither logarithm overflows.
constexpr float kMinUniform = 1e-6f;
constexpr float kMaxUniform = 0.999999f;

bool IsMatchable(PieceType type) {
  return type == PieceType_NORMAL || type == PieceType_USER_DEFINED;
}

// `score` minus `alpha` times Gumbel noise drawn from one call of `rng`.
float Perturb(float score, float alpha, const RandomSource& rng) {
  float u = rng();
  if (u < kMinUniform) {
    u = kMinUniform;
  } else if (u > kMaxUniform) {
    u = kMaxUniform;
  }
  return score - alpha * std::log(-std::log(u));
}

}  // namespace

void Model::EncodeUnigram(std::string_view text, std::vector<int>* ids,
                          std::vector<std::string_view>* surfaces, float alpha,
                          const RandomSource* rng) const {
  const auto n = static_cast<int32_t>(text.size());
  if (n == 0) return;

  absl::InlinedVector<ViterbiNode, kInlineNodes> lattice;
  const size_t num_nodes = static_cast<size_t>(n) + 1;
  if (num_nodes > kInlineNodes) {
    lattice.reserve(std::max(num_nodes, kMinHeapNodes));
  }
  lattice.resize(num_nodes);

  auto offer = [&lattice](int32_t end, int32_t id, float total,
                          int32_t start) {
    ViterbiNode& node = lattice[end];
    if (node.start == -1 || total > node.score) node = {id, total, start};
  };

  int32_t max_end = 0;
  for (int32_t pos = 0; pos < n;) {
    float base = lattice[pos].score;
    const float threshold = score_reset_threshold;
    if (std::isfinite(base) && (base < -threshold || base > threshold)) {
      lattice[pos].score = 0.0f;
      for (int32_t k = pos + 1; k <= max_end; ++k) {
        if (lattice[k].start != -1) lattice[k].score -= base;
      }
      base = 0.0f;
    }

    const int32_t char_length = CharLengthAt(text, pos);
    bool covered = false;
    piece_trie.common_prefix_lookup(
        std::string_view(text.data() + pos, n - pos), [&](int32_t id, int32_t length) {
          const PieceType type = types[id];
          if (!IsMatchable(type)) return;
          const int32_t end = pos + length;
          max_end = std::max(max_end, end);
          float score =
              type == PieceType_NORMAL
                  ? scores[id]
                  : static_cast<float>(length - 1) * kUserDefinedScorePerByte;
          if (rng != nullptr) score = Perturb(score, alpha, *rng);
          offer(end, id, score + base, pos);
          if (length == char_length) covered = true;
        });
    if (!covered) {
      const int32_t end = pos + char_length;
      max_end = std::max(max_end, end);
      float score = unk_score;
      if (rng != nullptr) score = Perturb(score, alpha, *rng);
      offer(end, unk_id, base + score, pos);
    }
    pos += char_length;
  }

  // The path is emitted back to front. The chunk's last piece is appended as
  // it is even when unknown, so that it never widens a view left by an
  // earlier call; adjacency with that view is settled after the reversal.
  const size_t first_id = ids->size();
  const size_t first_surface = surfaces == nullptr ? 0 : surfaces->size();
  for (int32_t end = n; end > 0;) {
    const ViterbiNode& node = lattice[end];
    const std::string_view surface(text.data() + node.start,
                                   end - node.start);
    if (ids->size() == first_id && node.id == unk_id &&
        first_byte_piece_id == -1) {
      ids->push_back(node.id);
      if (surfaces != nullptr) surfaces->push_back(surface);
    } else {
      EmitPiece<true>(node.id, surface, ids, surfaces);
    }
    end = node.start;
  }
  std::reverse(ids->begin() + first_id, ids->end());
  if (surfaces != nullptr) {
    std::reverse(surfaces->begin() + first_surface, surfaces->end());
  }

  // An unknown stretch that opens the chunk joins an unknown id that ended
  // the output before it, as in forward emission.
  if (first_id > 0 && first_byte_piece_id == -1 &&
      (*ids)[first_id - 1] == unk_id && (*ids)[first_id] == unk_id) {
    ids->erase(ids->begin() + first_id);
    if (surfaces != nullptr) {
      if (first_surface > 0) {
        std::string_view& joined = (*surfaces)[first_surface - 1];
        joined = std::string_view(
            joined.data(), joined.size() + (*surfaces)[first_surface].size());
      }
      surfaces->erase(surfaces->begin() + first_surface);
    }
  }
}

}  // namespace korvel::lite
