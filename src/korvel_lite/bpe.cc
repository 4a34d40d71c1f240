// Placeholder: BPE merging lands with the encoder work.
#include "korvel_lite/model.h"

namespace korvel::lite {

void Model::EncodeBPE(std::string_view, std::vector<int>*,
                      std::vector<std::string_view>*, float,
                      const RandomSource*) const {}

}  // namespace korvel::lite
