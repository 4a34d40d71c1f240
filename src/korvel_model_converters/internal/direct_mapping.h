#ifndef KORVEL_MODEL_CONVERTERS_INTERNAL_DIRECT_MAPPING_H_
#define KORVEL_MODEL_CONVERTERS_INTERNAL_DIRECT_MAPPING_H_

#include "absl/status/status.h"
#include "korvel_lite/korvel_lite_model_generated.h"

// The direct-mapping stage of the converter; not installed.

namespace korvel::lite {

// Decides which pieces of the BPE model `model` may be emitted whole when a
// chunk of text equals them: every NORMAL or USER_DEFINED piece (and any piece
// of an unknown type) of at most 128 bytes whose text encodes to exactly its
// own id, while UNKNOWN, CONTROL, UNUSED and BYTE pieces never match text and
// pass. The texts are encoded with a lite model packed from `model` without
// its normalizer spec and bigram trie, which are restored afterwards.
//
// When some tested piece passes, sets `enable_direct_mapping` and, unless
// every tested piece passed, `direct_mapping_flags` (1 allowed, 0 not).
// Otherwise leaves both unset. kInternal when the packed model does not load.
absl::Status DecideDirectMapping(ModelProtoT* model);

// Packs `model` into `builder` and finishes the buffer without file
// identifier or size prefix.
void FinishLiteModel(const ModelProtoT& model,
                     flatbuffers::FlatBufferBuilder* builder);

}  // namespace korvel::lite

#endif  // KORVEL_MODEL_CONVERTERS_INTERNAL_DIRECT_MAPPING_H_
