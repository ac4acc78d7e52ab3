// Text between C++ and Python.
#pragma once

#include <string_view>

#include "py/ref.hpp"

namespace drovik::py {

Ref to_python(std::string_view utf8);

}  // namespace drovik::py
