#include "comm/can/py_can_device.hpp"

#include <string>

#include "comm/can/can_device_sync.hpp"
#include "comm/can/py_blocking.hpp"
#include "comm/can/py_bus_state.hpp"
#include "comm/can/py_frame.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/runtime_bridge.hpp"
#include "py/text.hpp"
#include "py/type.hpp"

namespace drovik::comm::can {

namespace {

using py::Ref;

constexpr py::Signature can_device_sig = "CanDevice(interface)";

CanDeviceSync construct(PyObject* args, PyObject* kwargs) {
    auto [interface_arg] = py::parse_args<can_device_sig>(args, kwargs);
    std::string interface = py::named_argument(interface_arg, py::to_string);
    py::shared_runtime();  // the runtime's first users include this device, as they include the others
    auto device = CanDeviceSync::open(std::move(interface));
    if (!device) py::raise_os_error(device.error());
    return std::move(device).value();
}

constexpr py::Signature send_sig = "send($self, id, data)";

Ref send(py::Object<CanDeviceSync>& self, PyObject* args, PyObject* kwargs) {
    auto [id_arg, data_arg] = py::parse_args<send_sig>(args, kwargs);
    auto exclusive = self.borrow.exclusive();
    std::uint32_t id = py::named_argument(id_arg, py::to_u32);
    auto data = py::named_argument(data_arg, py::to_payload);
    prepare_to_block();
    auto sent = self.value().send(id, data, &no_signal_raised);
    if (!sent) raise_can_error(sent.error());
    return py::none();
}

Ref receive(py::Object<CanDeviceSync>& self) {
    auto exclusive = self.borrow.exclusive();
    prepare_to_block();
    auto frame = self.value().receive(&no_signal_raised);
    if (!frame) raise_can_error(frame.error());
    return frame_tuple(frame->id(), frame->data());
}

Ref interface(CanDeviceSync& self) { return py::to_python(self.interface()); }

// Counters only: no borrow, so a signal handler may ask during a receive.
Ref bus_state(CanDeviceSync& self) { return bus_state_dict(self.bus_report()); }

PyMethodDef methods[] = {
    py::method<&send, send_sig,
               "Send a CAN frame (blocking)\n\n"
               "Args:\n"
               "    id: CAN frame ID\n"
               "    data: Data bytes to send (up to 8 bytes)\n">(),
    py::method<&receive, "receive($self)",
               "Receive a CAN frame (blocking)\n\n"
               "Returns:\n"
               "    Tuple (id, data) where id is u32 and data is bytes\n">(),
    py::method<&interface, "interface($self)", "Get the interface name\n">(),
    py::method<&bus_state, "bus_state($self)", kBusStateDoc>(),
    {},
};

}  // namespace

PyTypeObject* can_device_type() {
    return py::class_type<CanDeviceSync>({
        .name = "builtins.CanDevice",
        .doc = py::doc<can_device_sig,
                       "简单模式 CAN 设备（阻塞 API）\n\n"
                       "This version uses a synchronous API and suits simple scenarios.\n">,
        .construct = &construct,
        .methods = methods,
    });
}

}  // namespace drovik::comm::can
