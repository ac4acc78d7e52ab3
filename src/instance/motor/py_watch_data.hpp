// Feedback as Python sees it: a new dict {"position", "speed", "current"}, each
// single-precision value widened exactly.
#pragma once

#include "instance/motor/protocol/watch_data.hpp"
#include "py/ref.hpp"

namespace drovik::motor {

py::Ref watch_data_dict(const WatchData& data);

}  // namespace drovik::motor
