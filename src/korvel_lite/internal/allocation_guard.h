#ifndef KORVEL_LITE_INTERNAL_ALLOCATION_GUARD_H_
#define KORVEL_LITE_INTERNAL_ALLOCATION_GUARD_H_

#include <new>

#include "absl/status/status.h"

namespace korvel::lite {

// Runs a text operation so that an allocation failure inside it (a text too
// large for the memory left) is answered with kResourceExhausted instead of
// escaping as an exception. `clear_outputs` then empties whatever the
// operation had partly written. Costs nothing while nothing throws.
template <typename Operation, typename ClearOutputs>
absl::StatusCode GuardAllocation(Operation operation,
                                 ClearOutputs clear_outputs) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    clear_outputs();
    return absl::StatusCode::kResourceExhausted;
  }
}

}  // namespace korvel::lite

#endif  // KORVEL_LITE_INTERNAL_ALLOCATION_GUARD_H_
