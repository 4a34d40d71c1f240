// Placeholder: unigram segmentation lands with the encoder work.
#include "korvel_lite/model.h"

namespace korvel::lite {

void Model::EncodeUnigram(std::string_view, std::vector<int>*,
                          std::vector<std::string_view>*, float,
                          const RandomSource*) const {}

}  // namespace korvel::lite
