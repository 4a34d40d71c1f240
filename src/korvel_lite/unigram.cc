// Unigram segmentation: the best-scoring path through the lattice of piece
// matches, or a sampled one when every candidate is perturbed with Gumbel
// noise.
//
// The lattice is kept as a window over the text. Whenever the forward pass
// reaches an offset that no candidate has passed (every path to the end goes
// through it, as at most word starts), the part of the best path before it is
// final: it is emitted, and the window starts over at that offset. Scores are
// never touched by this, so the result is the one of a lattice over the whole
// text, while the window stays small enough to live in the cache.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "absl/base/attributes.h"
#include "absl/container/inlined_vector.h"
#include "korvel_lite/internal/emit_piece.h"
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
// The window is emitted and restarted at a converging offset once it spans at
// least this many bytes.
constexpr int32_t kMinEmittedSpan = 64;

// A user-defined piece scores 0.1 per byte beyond the first, so it beats any
// split into normal pieces, whose scores are negative.
constexpr float kUserDefinedScorePerByte = 0.1f;

// Uniform draws are clamped to [1e-6, 0.999999] (as floats) before the Gumbel
// transform so that neither logarithm overflows.
constexpr float kMinUniform = 1e-6f;
constexpr float kMaxUniform = 0.999999f;

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

// One EncodeUnigram call: the forward pass over `text` with the lattice
// window, and the emission of each settled part of the best path.
template <bool kSampling>
class Segmenter {
 public:
  Segmenter(const Model& model, std::string_view text, std::vector<int>* ids,
            std::vector<std::string_view>* surfaces, float alpha,
            const RandomSource* rng)
      : model_(model),
        text_(text),
        ids_(ids),
        surfaces_(surfaces),
        alpha_(alpha),
        rng_(rng) {
    // The inline records, which hold the window between two emissions for
    // most texts; the window grows onto the heap only when no offset
    // converges for long. Records are marked unreached as the forward pass
    // comes to them.
    lattice_.resize(std::min(text.size() + 1, kInlineNodes));
  }

  void Run() {
    const auto n = static_cast<int32_t>(text_.size());
    const float threshold = model_.score_reset_threshold;
    Window window{lattice_.data(), 0, 0};
    window.nodes[0] = {-1, 0.0f, -1};
    for (int32_t pos = 0; pos < n;) {
      if (window.max_end == pos && pos - window.base >= kMinEmittedSpan) {
        EmitPath(window.base, pos);
        window.nodes[0] = window.nodes[pos - window.base];
        window.base = pos;
      }
      const float base_score = RebaseLargeScore(&window, pos, threshold);
      const auto lead = static_cast<unsigned char>(text_[pos]);
      const int32_t char_length = std::min(CharLength(lead), n - pos);
      if (!OfferPieces(&window, pos, char_length, base_score)) {
        float score = model_.unk_score;
        if constexpr (kSampling) score = Perturb(score, alpha_, *rng_);
        Offer(&window, pos + char_length, model_.unk_id, base_score + score,
              pos);
      }
      pos += char_length;
    }
    EmitPath(window.base, n);
  }

 private:
  // The hot state of the forward pass, which Run keeps in a local: the
  // window's records (lattice_ only changes in Grow), and the window's text
  // offset and the largest end offset any candidate has reached (records past
  // it are stale).
  struct Window {
    ViterbiNode* nodes;
    int32_t base;
    int32_t max_end;
  };

  // Offers the candidate `id` for text[start, end) with path total `total`:
  // it is kept when the offset is unreached or the total strictly higher.
  // An end beyond max_end first marks the offsets up to it unreached.
  ABSL_ATTRIBUTE_ALWAYS_INLINE void Offer(Window* window, int32_t end,
                                          int32_t id, float total,
                                          int32_t start) {
    const int32_t base = window->base;
    if (end > window->max_end) {
      if (static_cast<size_t>(end - base) >= lattice_.size()) {
        window->nodes = Grow(static_cast<size_t>(end - base) + 1);
      }
      for (int32_t k = window->max_end + 1; k < end; ++k) {
        window->nodes[k - base] = {-1, 0.0f, -1};
      }
      window->max_end = end;
      window->nodes[end - base] = {id, total, start};
      return;
    }
    ViterbiNode& node = window->nodes[end - base];
    if (node.start == -1 || total > node.score) node = {id, total, start};
  }

  // The path total at `pos`, first moved to 0 (with every reached total
  // after it) when its magnitude exceeds `threshold`, so that long texts keep
  // float precision.
  ABSL_ATTRIBUTE_ALWAYS_INLINE float RebaseLargeScore(Window* window,
                                                      int32_t pos,
                                                      float threshold) {
    ViterbiNode* nodes = window->nodes;
    const int32_t base = window->base;
    const float base_score = nodes[pos - base].score;
    const bool large = std::isfinite(base_score) &&
                       (base_score < -threshold || base_score > threshold);
    if (!large) return base_score;
    nodes[pos - base].score = 0.0f;
    for (int32_t k = pos + 1; k <= window->max_end; ++k) {
      ViterbiNode& node = nodes[k - base];
      if (node.start != -1) node.score -= base_score;
    }
    return 0.0f;
  }

  // Offers every matchable piece that starts at `pos`, walking the piece
  // trie from the table of the root's children, shortest first. Returns
  // whether one of them covers exactly the character of `char_length` bytes
  // there.
  ABSL_ATTRIBUTE_ALWAYS_INLINE bool OfferPieces(Window* window, int32_t pos,
                                                int32_t char_length,
                                                float base_score) {
    const char* data = text_.data();
    const uint32_t* units = model_.piece_trie.units;
    const float* scores = model_.scores;
    const PieceType* types = model_.types;
    const int32_t remaining = static_cast<int32_t>(text_.size()) - pos;
    bool covered = false;
    uint32_t node =
        model_.piece_root_children[static_cast<unsigned char>(data[pos])];
    uint32_t unit = node == trie_unit::kNoNode ? 0 : units[node];
    for (int32_t length = 1; node != trie_unit::kNoNode; ++length) {
      if (trie_unit::HasLeaf(unit)) {
        const int32_t id = trie_unit::LeafValue(units, node, unit);
        // The trie may hold keys besides the piece texts, so the type of
        // every match is looked at.
        float score = 0.0f;
        bool matchable = true;
        const PieceType type = types[id];
        if (type == PieceType_NORMAL) {
          score = scores[id];
        } else if (type == PieceType_USER_DEFINED) {
          score = static_cast<float>(length - 1) * kUserDefinedScorePerByte;
        } else {
          matchable = false;
        }
        if (matchable) {
          if constexpr (kSampling) score = Perturb(score, alpha_, *rng_);
          Offer(window, pos + length, id, score + base_score, pos);
          covered |= length == char_length;
        }
      }
      if (length == remaining) break;
      const auto ch = static_cast<unsigned char>(data[pos + length]);
      if (!trie_unit::Step(units, &node, &unit, ch)) break;
    }
    return covered;
  }

  // Grows the window to at least `size` records, keeping them; returns the
  // new records.
  ViterbiNode* Grow(size_t size) {
    lattice_.resize(std::max({size, 2 * lattice_.size(), kMinHeapNodes}));
    return lattice_.data();
  }

  // Emits the best path from `base`, the offset of lattice_[0], to `end`, a
  // converging offset, in text order. The path is read back to front; its
  // last piece is appended as it is even when unknown, so that it never
  // widens a view left by an earlier emission, and adjacency with that view
  // is settled after the reversal.
  void EmitPath(int32_t base, int32_t end) {
    const size_t first_id = ids_->size();
    const size_t first_surface = surfaces_ == nullptr ? 0 : surfaces_->size();
    const int32_t unk_id = model_.unk_id;
    const bool merge_unknown = model_.first_byte_piece_id == -1;
    for (int32_t k = end; k > base;) {
      const ViterbiNode& node = lattice_[k - base];
      const std::string_view surface(text_.data() + node.start, k - node.start);
      if (ids_->size() == first_id && node.id == unk_id && merge_unknown) {
        ids_->push_back(node.id);
        if (surfaces_ != nullptr) surfaces_->push_back(surface);
      } else {
        model_.EmitPiece<true>(node.id, surface, ids_, surfaces_);
      }
      k = node.start;
    }
    std::reverse(ids_->begin() + first_id, ids_->end());
    if (surfaces_ != nullptr) {
      std::reverse(surfaces_->begin() + first_surface, surfaces_->end());
    }

    // An unknown stretch that opens this part joins an unknown id that ended
    // the output before it, as in forward emission.
    if (first_id > 0 && first_id < ids_->size() && merge_unknown &&
        (*ids_)[first_id - 1] == unk_id && (*ids_)[first_id] == unk_id) {
      ids_->erase(ids_->begin() + first_id);
      if (surfaces_ != nullptr) {
        if (first_surface > 0) {
          std::string_view& joined = (*surfaces_)[first_surface - 1];
          joined = std::string_view(
              joined.data(),
              joined.size() + (*surfaces_)[first_surface].size());
        }
        surfaces_->erase(surfaces_->begin() + first_surface);
      }
    }
  }

  const Model& model_;
  const std::string_view text_;
  std::vector<int>* const ids_;
  std::vector<std::string_view>* const surfaces_;
  const float alpha_;
  const RandomSource* const rng_;
  absl::InlinedVector<ViterbiNode, kInlineNodes> lattice_;
};

}  // namespace

void Model::EncodeUnigram(std::string_view text, std::vector<int>* ids,
                          std::vector<std::string_view>* surfaces, float alpha,
                          const RandomSource* rng) const {
  if (text.empty()) return;
  if (rng == nullptr) {
    Segmenter<false>(*this, text, ids, surfaces, alpha, rng).Run();
  } else {
    Segmenter<true>(*this, text, ids, surfaces, alpha, rng).Run();
  }
}

}  // namespace korvel::lite
