#include "comm/can/py_frame.hpp"

namespace drovik::comm::can {

py::Ref frame_tuple(std::uint32_t id, std::span<const std::uint8_t> data) {
    py::Ref number = py::check(PyLong_FromUnsignedLong(id));
    py::Ref bytes = py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                        static_cast<Py_ssize_t>(data.size())));
    return py::check(PyTuple_Pack(2, number.get(), bytes.get()));
}

}  // namespace drovik::comm::can
