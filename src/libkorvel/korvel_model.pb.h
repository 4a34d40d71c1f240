// The full model's messages under the include path that earlier releases
// installed; new code includes "korvel_proto/korvel_model.pb.h".
#ifndef KORVEL_LIBKORVEL_KORVEL_MODEL_PB_H_
#define KORVEL_LIBKORVEL_KORVEL_MODEL_PB_H_

#include "korvel_proto/korvel_model.pb.h"

#endif  // KORVEL_LIBKORVEL_KORVEL_MODEL_PB_H_
