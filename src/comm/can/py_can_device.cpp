#include "comm/can/py_can_device.hpp"

#include <string>

#include "comm/can/can_device.hpp"
#include "comm/can/py_frame.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/runtime_bridge.hpp"
#include "py/text.hpp"
#include "py/type.hpp"

namespace drovik::comm::can {

namespace {

using py::Ref;

// The value behind a CanDevice: the open socket device and the name it was opened with.
struct CanDeviceSync {
    CanDevice device;
    std::string interface;
};

CanDeviceSync construct(PyObject* args, PyObject* kwargs) {
    auto [interface_arg] = py::parse_args(args, kwargs, "O:CanDevice", {"interface"});
    std::string interface = py::named_argument("interface", interface_arg, py::to_string);
    auto device = CanDevice::open(py::shared_runtime(), interface);
    if (!device) py::raise_os_error(device.error());
    return CanDeviceSync{std::move(device).value(), std::move(interface)};
}

Ref send(py::Object<CanDeviceSync>& self, PyObject* args, PyObject* kwargs) {
    auto [id_arg, data_arg] = py::parse_args(args, kwargs, "OO:send", {"id", "data"});
    auto exclusive = self.borrow.exclusive();
    std::uint32_t id = py::named_argument("id", id_arg, py::to_u32);
    auto data = py::named_argument("data", data_arg, py::to_payload);
    auto sent = py::wait_for(self.value().device.send(id, data));
    if (!sent) py::raise_os_error(sent.error());
    return py::none();
}

Ref receive(py::Object<CanDeviceSync>& self) {
    auto exclusive = self.borrow.exclusive();
    auto frame = py::wait_for(self.value().device.receive());
    if (!frame) py::raise_os_error(frame.error());
    return frame_tuple(frame->id(), frame->data());
}

Ref interface(CanDeviceSync& self) { return py::to_python(self.interface); }

PyMethodDef methods[] = {
    py::method<&send>("send",
                      "send($self, id, data)\n--\n\n"
                      "Send a CAN frame (blocking)\n\n"
                      "Args:\n"
                      "    id: CAN frame ID\n"
                      "    data: Data bytes to send (up to 8 bytes)\n"),
    py::method<&receive>("receive",
                         "receive($self)\n--\n\n"
                         "Receive a CAN frame (blocking)\n\n"
                         "Returns:\n"
                         "    Tuple (id, data) where id is u32 and data is bytes\n"),
    py::method<&interface>("interface", "interface($self)\n--\n\nGet the interface name\n"),
    {},
};

}  // namespace

PyTypeObject* can_device_type() {
    return py::class_type<CanDeviceSync>({
        .name = "builtins.CanDevice",
        .doc = "CanDevice(interface)\n--\n\n"
               "简单模式 CAN 设备（阻塞 API）\n\n"
               "This version uses a synchronous API and suits simple scenarios.\n",
        .construct = &construct,
        .methods = methods,
    });
}

}  // namespace drovik::comm::can
