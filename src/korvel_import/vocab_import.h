#ifndef KORVEL_IMPORT_VOCAB_IMPORT_H_
#define KORVEL_IMPORT_VOCAB_IMPORT_H_

#include <string_view>

#include "absl/status/statusor.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::import {

// Builds a unigram full model from a vocabulary list: one "piece<TAB>score"
// line per piece, ids in line order, blank lines skipped. "<unk>" (required)
// becomes the UNKNOWN piece, "<s>", "</s>" and "<pad>" CONTROL pieces, and
// the pieces "<0x00>" ... "<0xFF>", when all are present at consecutive ids,
// BYTE pieces with byte fallback on; every other piece is NORMAL. Text gets
// the usual whitespace handling: extra spaces removed, a dummy "▁" prefix,
// spaces written as "▁".
//
// A line without a tab or with a score that is not a finite number, or a list
// without "<unk>", gives kInvalidArgument naming the line.
absl::StatusOr<korvel::ModelProto> ImportVocabulary(std::string_view tsv);

}  // namespace korvel::import

#endif  // KORVEL_IMPORT_VOCAB_IMPORT_H_
