// Placeholder: decoding lands with the decoder work.
#include "korvel_lite/korvel_lite_processor.h"

namespace korvel::lite {

absl::StatusCode KorvelLiteProcessor::Decode(
    absl::Span<const int>, std::string*, std::vector<std::string_view>*) const {
  return absl::StatusCode::kUnimplemented;
}

}  // namespace korvel::lite
