#include "comm/can/py_can_device_nonblocking.hpp"

#include "comm/can/can_device_async.hpp"
#include "comm/can/py_blocking.hpp"
#include "comm/can/py_bus_state.hpp"
#include "comm/can/py_frame.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/error.hpp"
#include "py/runtime_bridge.hpp"
#include "py/text.hpp"
#include "py/type.hpp"

namespace drovik::comm::can {

namespace {

using py::Ref;

constexpr py::Signature can_device_nonblocking_sig = "CanDeviceNonBlocking(interface)";

CanDeviceAsync construct(PyObject* args, PyObject* kwargs) {
    auto [interface_arg] = py::parse_args<can_device_nonblocking_sig>(args, kwargs);
    std::string interface = py::named_argument(interface_arg, py::to_string);
    return CanDeviceAsync(py::shared_runtime(), std::move(interface));
}

Ref message_or_none(const std::optional<CanMessage>& message) {
    return message ? frame_tuple(message->id, message->data()) : py::none();
}

constexpr py::Signature send_sig = "send($self, id, data)";

Ref send(CanDeviceAsync& self, PyObject* args, PyObject* kwargs) {
    auto [id_arg, data_arg] = py::parse_args<send_sig>(args, kwargs);
    std::uint32_t id = py::named_argument(id_arg, py::to_u32);
    auto data = py::named_argument(data_arg, py::to_payload);
    if (auto queued = self.send_nonblocking(CanMessage::of(id, data)); !queued) py::raise_os_error(queued.error());
    return py::none();
}

// A receive from a signal handler or a timer function that interrupted one of
// this device's receives raises at once rather than wait for its own caller.
Ref try_receive(py::Object<CanDeviceAsync>& self) {
    auto exclusive = self.borrow.exclusive();
    prepare_to_block();
    return message_or_none(self.value().try_receive());
}

constexpr py::Signature receive_timeout_sig = "receive_timeout($self, timeout_ms)";

Ref receive_timeout(py::Object<CanDeviceAsync>& self, PyObject* args, PyObject* kwargs) {
    auto [timeout_arg] = py::parse_args<receive_timeout_sig>(args, kwargs);
    std::uint64_t timeout_ms = py::named_argument(timeout_arg, py::to_u64);
    auto exclusive = self.borrow.exclusive();
    prepare_to_block();
    auto message = self.value().receive_within(timeout_ms, &no_signal_raised);
    if (PyErr_Occurred()) throw py::ErrorAlreadySet{};  // a signal handler raised while it waited
    return message_or_none(std::move(message));
}

Ref interface(CanDeviceAsync& self) { return py::to_python(self.interface()); }

Ref bus_state(CanDeviceAsync& self) { return bus_state_dict(self.bus_report()); }

PyMethodDef methods[] = {
    py::method<&send, send_sig,
               "Send a CAN frame (non-blocking)\n\n"
               "Args:\n"
               "    id: CAN frame ID\n"
               "    data: Data bytes to send (up to 8 bytes)\n">(),
    py::method<&try_receive, "try_receive($self)",
               "Try to receive a CAN frame (non-blocking)\n\n"
               "Returns:\n"
               "    Tuple (id, data) if a message is available, None otherwise\n">(),
    py::method<&receive_timeout, receive_timeout_sig,
               "Receive a CAN frame with timeout\n\n"
               "Args:\n"
               "    timeout_ms: Timeout in milliseconds\n\n"
               "Returns:\n"
               "    Tuple (id, data) if a message was received, None on timeout\n">(),
    py::method<&interface, "interface($self)", "Get the interface name\n">(),
    py::method<&bus_state, "bus_state($self)", kBusStateDoc>(),
    {},
};

}  // namespace

PyTypeObject* can_device_nonblocking_type() {
    return py::class_type<CanDeviceAsync>({
        .name = "builtins.CanDeviceNonBlocking",
        .doc = py::doc<can_device_nonblocking_sig,
                       "高级异步 CAN 设备（非阻塞 API）\n\n"
                       "A background task handles the CAN communication; every method returns without waiting for "
                       "the bus.\n">,
        .construct = &construct,
        .methods = methods,
    });
}

}  // namespace drovik::comm::can
