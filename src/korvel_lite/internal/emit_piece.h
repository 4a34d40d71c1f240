#ifndef KORVEL_LITE_INTERNAL_EMIT_PIECE_H_
#define KORVEL_LITE_INTERNAL_EMIT_PIECE_H_

// Definition of Model::EmitPiece, shared by the encoders. Internal header.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "absl/base/attributes.h"
#include "korvel_lite/model.h"

namespace korvel::lite {

namespace emit_piece_internal {

// EmitPiece for the unknown id: byte fallback or unknown merging.
template <bool reverse>
ABSL_ATTRIBUTE_NOINLINE void EmitUnknownPiece(
    const Model& model, std::string_view surface, std::vector<int>* ids,
    std::vector<std::string_view>* surfaces) {
  if (model.first_byte_piece_id != -1) {
    const size_t size = surface.size();
    for (size_t k = 0; k < size; ++k) {
      const size_t i = reverse ? size - 1 - k : k;
      ids->push_back(
          model.byte_piece_ids[static_cast<unsigned char>(surface[i])]);
      if (surfaces != nullptr) {
        surfaces->push_back(surface.substr(0, k + 1 == size ? size : 0));
      }
    }
    return;
  }
  if (!ids->empty() && ids->back() == model.unk_id) {
    if (surfaces != nullptr && !surfaces->empty()) {
      std::string_view& last = surfaces->back();
      last =
          reverse
              ? std::string_view(surface.data(), surface.size() + last.size())
              : std::string_view(last.data(), last.size() + surface.size());
    }
    return;
  }
  ids->push_back(model.unk_id);
  if (surfaces != nullptr) surfaces->push_back(surface);
}

}  // namespace emit_piece_internal

// Appends the piece `id` covering `surface` to `ids` and, when given, its view
// to `surfaces`.
//
// With byte fallback (the model has all 256 byte pieces) an unknown piece
// becomes the byte pieces of its surface. Every byte piece's view starts at the
// surface; the one appended last carries the whole surface, the others are
// empty. So in text order the last byte piece carries the surface when emitting
// forwards, and the first one once a reverse-emitting caller has reversed its
// output.
//
// Without byte fallback an unknown piece that follows an unknown id at the end
// of `ids` (in emission order) is folded into it: its view is widened to cover
// the new surface, which must directly follow it in the text (forward) or
// directly precede it (reverse).
template <bool reverse>
void Model::EmitPiece(int32_t id, std::string_view surface,
                      std::vector<int>* ids,
                      std::vector<std::string_view>* surfaces) const {
  if (id == unk_id) {
    emit_piece_internal::EmitUnknownPiece<reverse>(*this, surface, ids,
                                                   surfaces);
    return;
  }
  ids->push_back(id);
  if (surfaces != nullptr) surfaces->push_back(surface);
}

}  // namespace korvel::lite

#endif  // KORVEL_LITE_INTERNAL_EMIT_PIECE_H_
