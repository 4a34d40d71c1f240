// Placeholder: chunk encoding lands with the encoder work.
#include "korvel_lite/model.h"

namespace korvel::lite {

void Model::Encode(std::string_view, std::vector<int>*,
                   std::vector<std::string_view>*, float,
                   const RandomSource*) const {}
void Model::EncodeChunk(std::string_view, std::vector<int>*,
                        std::vector<std::string_view>*, float,
                        const RandomSource*) const {}
absl::StatusCode Model::PretokenizeAtSafeBoundaries(
    std::string_view, absl::FunctionRef<void(std::string_view)>) const {
  return absl::StatusCode::kOk;
}

}  // namespace korvel::lite
