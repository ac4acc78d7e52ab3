// A frame as Python sees it: the tuple (int identifier, bytes data).
#pragma once

#include <cstdint>
#include <span>

#include "py/ref.hpp"

namespace drovik::comm::can {

py::Ref frame_tuple(std::uint32_t id, std::span<const std::uint8_t> data);

}  // namespace drovik::comm::can
