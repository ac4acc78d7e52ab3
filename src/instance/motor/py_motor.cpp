#include "instance/motor/py_motor.hpp"

#include <cstdio>
#include <string>

#include "comm/can/py_bus_state.hpp"
#include "instance/motor/device/py_device.hpp"
#include "instance/motor/motor_group.hpp"
#include "instance/motor/protocol/motor_mode.hpp"
#include "instance/motor/protocol/target_encoding.hpp"
#include "instance/motor/py_safe_stop.hpp"
#include "instance/motor/py_watch_data.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/runtime_bridge.hpp"
#include "py/type.hpp"

namespace drovik::motor {

namespace {

using py::Ref;

constexpr py::Signature motor_sig = "Motor(interface, broadcast_id)";

MotorGroup construct(PyObject* args, PyObject* kwargs) {
    auto [interface_arg, id_arg] = py::parse_args<motor_sig>(args, kwargs);
    std::string interface = py::named_argument(interface_arg, py::to_string);
    std::uint32_t broadcast_id = py::named_argument(id_arg, py::to_u32);
    return MotorGroup(py::shared_runtime(), std::move(interface), broadcast_id);
}

// The mode text lowered as str.lower() does (full Unicode), then parsed.
MotorMode to_mode(PyObject* obj) {
    py::to_string(obj);  // a str, or the conversion's TypeError
    Ref lowered = py::check(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", obj));
    auto mode = parse_motor_mode(py::to_string(lowered.get()));
    if (!mode) py::raise(PyExc_ValueError, mode.error().text);
    return mode.value();
}

constexpr py::Signature add_device_sig = "add_device($self, slot_index, feedback_id, mode)";

Ref add_device(MotorGroup& self, PyObject* args, PyObject* kwargs) {
    auto [slot_arg, id_arg, mode_arg] = py::parse_args<add_device_sig>(args, kwargs);
    std::uint8_t slot = py::named_argument(slot_arg, py::to_u8);
    std::uint32_t feedback_id = py::named_argument(id_arg, py::to_u32);
    MotorMode mode = py::named_argument(mode_arg, to_mode);
    return wrap_device(self.add_device(slot, feedback_id, mode));
}

constexpr py::Signature set_target_sig = "set_target($self, slot_index, value)";

Ref set_target(MotorGroup& self, PyObject* args, PyObject* kwargs) {
    auto [slot_arg, value_arg] = py::parse_args<set_target_sig>(args, kwargs);
    std::uint8_t slot = py::named_argument(slot_arg, py::to_u8);
    float value = narrow_target(py::named_argument(value_arg, py::to_double));
    if (auto device = self.device_in_slot(slot)) device->set_target(value, calling_thread());
    return py::none();
}

Ref broadcast(MotorGroup& self) {
    if (auto queued = self.broadcast(calling_thread()); !queued) py::raise_os_error(queued.error());
    return py::none();
}

constexpr py::Signature get_watch_data_sig = "get_watch_data($self, slot_index)";

Ref get_watch_data(MotorGroup& self, PyObject* args, PyObject* kwargs) {
    auto [slot_arg] = py::parse_args<get_watch_data_sig>(args, kwargs);
    std::uint8_t slot = py::named_argument(slot_arg, py::to_u8);
    auto device = self.device_in_slot(slot);
    return device ? watch_data_dict(device->watch_data()) : py::none();
}

Ref bus_state(MotorGroup& self) { return comm::can::bus_state_dict(self.bus_report()); }

Ref broadcast_id(MotorGroup& self) { return py::check(PyLong_FromUnsignedLong(self.broadcast_id())); }

std::string repr(MotorGroup& self) {
    char id[16];
    std::snprintf(id, sizeof id, "%X", self.broadcast_id());
    return std::string("Motor(broadcast_id=0x") + id + ", devices=" + std::to_string(self.device_count()) + ")";
}

PyMethodDef methods[] = {
    py::method<&add_device, add_device_sig,
               "向广播组添加一个驱动器\n\n"
               "Args:\n"
               "    slot_index: broadcast slot (0-3); must equal the driver firmware's target_index\n"
               "    feedback_id: CAN ID of the driver's feedback frame\n"
               "    mode: control mode, \"current\" / \"speed\" / \"position\"\n\n"
               "Returns:\n"
               "    Device for setting the target and reading feedback\n">(),
    py::method<&set_target, set_target_sig,
               "通过槽位索引直接设置目标值\n\n"
               "Args:\n"
               "    slot_index: broadcast slot (0-3)\n"
               "    value: physical quantity in the unit of the device's mode\n\n"
               "Ignored when no Device is registered in the slot.\n">(),
    py::method<&broadcast, "broadcast($self)",
               "将所有 Device 的目标值打包成一条 CAN 广播帧并发送\n\n"
               "The frame is 8 bytes, 4 x i16 little-endian; unregistered slots are filled with 0.\n"
               "After a safe stop (Device.set_stop_target), a call from a timer or a job sends nothing.\n">(),
    py::method<&get_watch_data, get_watch_data_sig,
               "通过槽位索引获取回传数据\n\n"
               "Returns:\n"
               "    dict with the keys position (rad), speed (rad/s), current (A),\n"
               "    or None when no Device is registered in the slot\n">(),
    py::method<&bus_state, "bus_state($self)", comm::can::kBusStateDoc>(),
    {},
};

PyGetSetDef properties[] = {
    py::property<MotorGroup, &broadcast_id>("broadcast_id", "广播控制帧 CAN ID"),
    {},
};

}  // namespace

PyTypeObject* motor_type() {
    return py::class_type<MotorGroup>({
        .name = "builtins.Motor",
        .doc = py::doc<motor_sig,
                       "广播式电机控制器\n\n"
                       "One Motor serves one CAN interface. add_device() registers up to 4 drivers; each broadcast()\n"
                       "packs all drivers' targets into one CAN frame.\n">,
        .construct = &construct,
        .methods = methods,
        .properties = properties,
        .repr = &py::repr_slot<MotorGroup, &repr>,
    });
}

}  // namespace drovik::motor
