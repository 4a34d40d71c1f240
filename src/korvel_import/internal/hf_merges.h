#ifndef KORVEL_IMPORT_INTERNAL_HF_MERGES_H_
#define KORVEL_IMPORT_INTERNAL_HF_MERGES_H_

#include <string>
#include <string_view>
#include <vector>

#include "absl/status/statusor.h"
#include "korvel_import/internal/hf_document.h"

namespace korvel::import::hf {

// The largest merge count whose ranks all convert to float scores exactly.
inline constexpr int kMaxMerges = 1 << 24;

// True when `text` is one symbol of the merger: one byte when `bytes`
// (byte-level models), otherwise one character as the runtime cuts
// characters (by the lead byte's length); false for the empty text.
bool IsSingleSymbol(std::string_view text, bool bytes);

// Turns the ranked merge list of a BPE tokenizer.json into what the
// score-ordered merger needs: for every piece id, the rank of the first merge
// whose result is that piece, or -1 when no merge produces it. Giving each
// produced piece the score -(that rank) makes the merger apply merges in the
// list's order.
//
// `merges` holds the list's entries in rank order; `pieces` holds the
// vocabulary texts by id; `mergeable[id]` is true for
// normal pieces, the only ones merges may join or produce. `bytes` makes the
// symbols bytes instead of characters. `cut_out[id]` is
// true for pieces cut out of the text before the model sees it: merges that
// involve them never apply and are skipped. A pair listed twice keeps its
// last rank.
//
// Returns kInvalidArgument, naming the merge or piece, for a malformed merge,
// a merge of texts outside the vocabulary or of pieces that are not normal,
// more than kMaxMerges merges, and for the shapes under which the merger
// could join pieces where ranked merging would not: merges producing one
// piece that are not adjacent in the list (accepted for runs of one
// character when every run merges alike both ways), and a produced piece
// that splits into two joinable parts (produced pieces or single characters)
// that no merge joins. With `unjoined` not null, such pieces are counted
// there instead of refused: the merger then joins any two symbols that make
// a piece, as tiktoken does.
absl::StatusOr<std::vector<int>> RankMerges(
    const std::vector<MergeTexts>& merges,
    const std::vector<std::string>& pieces, const std::vector<bool>& mergeable,
    const std::vector<bool>& cut_out, bool bytes, int* unjoined = nullptr);

}  // namespace korvel::import::hf

#endif  // KORVEL_IMPORT_INTERNAL_HF_MERGES_H_
