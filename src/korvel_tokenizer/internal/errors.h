#ifndef KORVEL_TOKENIZER_INTERNAL_ERRORS_H_
#define KORVEL_TOKENIZER_INTERNAL_ERRORS_H_

#include <string>
#include <string_view>

#include "absl/status/status.h"

namespace korvel::tokenizer {

// True when `bytes` parse as a full (protobuf) model: a first field holding a
// piece, and well-formed fields up to the end. Reads the wire format directly,
// without protobuf.
bool LooksLikeFullModel(std::string_view bytes);

// The error for model bytes that the runtime refused to load with `code`,
// naming `name` (a path, or "model bytes") and the reason.
absl::Status LoadFailure(std::string_view name, std::string_view bytes,
                         absl::StatusCode code);

// The error for an id outside a vocabulary of `vocab_size` pieces.
absl::Status IdOutOfRange(int id, int vocab_size);

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_INTERNAL_ERRORS_H_
