// Placeholder: the normalization pipeline lands with the normalizer work.
#include "korvel_lite/model.h"

namespace korvel::lite {

absl::StatusCode Model::Normalize(std::string_view input,
                                  std::string* normalized,
                                  std::vector<size_t>* offsets) const {
  if (status_ != absl::StatusCode::kOk) return status_;
  normalized->assign(input);
  if (offsets != nullptr) offsets->clear();
  return absl::StatusCode::kOk;
}

bool Model::CanSkipNormalization(std::string_view) const { return false; }

NormalizedPrefix Normalizer::NormalizePrefix(std::string_view input) const {
  return {input.substr(0, input.empty() ? 0 : 1), input.empty() ? 0 : 1};
}

}  // namespace korvel::lite
