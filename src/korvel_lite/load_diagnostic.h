#ifndef KORVEL_LITE_LOAD_DIAGNOSTIC_H_
#define KORVEL_LITE_LOAD_DIAGNOSTIC_H_

#include <string>
#include <string_view>

#include "korvel_lite/load_rule.h"

namespace korvel::lite {

// A sentence naming `rule`, such as "a piece is longer than 4,096 bytes";
// empty for LoadRule::kNone. The text is static and never null.
const char* DescribeLoadRule(LoadRule rule);

// Why `model_bytes` does not load as a lite model: the first rule it breaks,
// found by the same steps as loading, as a sentence; empty when it loads.
// For tools that report a failed load (loading itself reports only a status
// code). The bytes must be 4-byte aligned like any model buffer; a misaligned
// buffer is reported as such. Safe on any input and from any thread.
std::string ExplainLoadFailure(std::string_view model_bytes);

}  // namespace korvel::lite

#endif  // KORVEL_LITE_LOAD_DIAGNOSTIC_H_
