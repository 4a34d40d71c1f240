#ifndef KORVEL_LITE_LIMITS_H_
#define KORVEL_LITE_LIMITS_H_

#include <cstddef>

namespace korvel::lite {

// Texts, id sequences and model files are shorter than this (2 GiB - 1), so
// that every size and position, ends included, fits an int32. Longer inputs
// are refused, not cut.
inline constexpr size_t kMaxTextSize = 0x7fffffff;

}  // namespace korvel::lite

#endif  // KORVEL_LITE_LIMITS_H_
