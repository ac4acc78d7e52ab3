#include "instance/motor/device/py_device.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "instance/motor/protocol/target_encoding.hpp"
#include "instance/motor/py_safe_stop.hpp"
#include "instance/motor/py_watch_data.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/type.hpp"

namespace drovik::motor {

namespace {

using py::Ref;
using DeviceRef = std::shared_ptr<Device>;

constexpr py::Signature set_target_sig = "set_target($self, value)";

Ref set_target(DeviceRef& self, PyObject* args, PyObject* kwargs) {
    auto [value] = py::parse_args<set_target_sig>(args, kwargs);
    self->set_target(narrow_target(py::named_argument(value, py::to_double)), calling_thread());
    return py::none();
}

Ref get_target(DeviceRef& self) { return py::check(PyFloat_FromDouble(self->target())); }

constexpr py::Signature set_stop_target_sig = "set_stop_target($self, value)";

Ref set_stop_target(DeviceRef& self, PyObject* args, PyObject* kwargs) {
    auto [value] = py::parse_args<set_stop_target_sig>(args, kwargs);
    if (value.object == Py_None) {
        self->set_stop_target(std::nullopt);
        return py::none();
    }
    float stop_target = narrow_target(py::named_argument(value, py::to_double));
    arm_safe_stop();
    self->set_stop_target(stop_target);
    return py::none();
}

Ref get_stop_target(DeviceRef& self) {
    auto stop_target = self->stop_target();
    return stop_target ? py::check(PyFloat_FromDouble(*stop_target)) : py::none();
}

Ref get_watch_data(DeviceRef& self) { return watch_data_dict(self->watch_data()); }

Ref feedback_age(DeviceRef& self) {
    auto age = self->feedback_age();
    return age ? py::check(PyFloat_FromDouble(*age)) : py::none();
}

Ref feedback_count(DeviceRef& self) { return py::check(PyLong_FromUnsignedLongLong(self->feedback_count())); }

Ref slot_index(DeviceRef& self) { return py::check(PyLong_FromLong(self->slot_index())); }

Ref feedback_id(DeviceRef& self) { return py::check(PyLong_FromUnsignedLong(self->feedback_id())); }

std::string format_target(float target) {
    if (std::isnan(target)) return "NaN";
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", static_cast<double>(target));
    return text;
}

std::string repr(DeviceRef& self) {
    char id[16];
    std::snprintf(id, sizeof id, "%X", self->feedback_id());
    return "Device(slot=" + std::to_string(self->slot_index()) + ", feedback_id=0x" + id +
           ", target=" + format_target(self->target()) + ")";
}

PyMethodDef methods[] = {
    py::method<&set_target, set_target_sig,
               "设置目标值（物理量）\n\n"
               "Args:\n"
               "    value: target in the unit of the device's mode\n"
               "        (Current: ampere, Speed: rad/s, Position: rad)\n\n"
               "The value is encoded as an i16 into the broadcast frame at the next Motor.broadcast().\n">(),
    py::method<&get_target, "get_target($self)", "读取当前目标值\n">(),
    py::method<&set_stop_target, set_stop_target_sig,
               "设置安全停止目标值\n\n"
               "Args:\n"
               "    value: what this slot carries in the stop frame, in the unit of the device's mode; None\n"
               "        clears it (the default): the slot then carries its current target\n\n"
               "When the program stops (block_all, block_until, shutdown_all, TaskManager.stop_all or\n"
               "shutdown, the interpreter's exit, the Motor released), every Motor with a stop target\n"
               "broadcasts once more. Afterwards broadcasts from drovik's timer and job threads send nothing\n"
               "until the program sets a target or broadcasts from one of its own threads.\n">(),
    py::method<&get_stop_target, "get_stop_target($self)", "读取安全停止目标值\n\nThe stop target, or None.\n">(),
    py::method<&get_watch_data, "get_watch_data($self)",
               "获取最新回传数据\n\n"
               "Returns:\n"
               "    dict with the keys position (rad), speed (rad/s), current (A)\n">(),
    py::method<&feedback_age, "feedback_age($self)",
               "距最近一次回传帧的时间（秒）\n\n"
               "Seconds since the kernel received the latest feedback frame this device took (monotonic, like\n"
               "time.monotonic()): a frame that waited in the socket counts as old as it is. None before the\n"
               "first.\n">(),
    py::method<&feedback_count, "feedback_count($self)", "已接收的回传帧数\n\nFeedback frames this device took since it was added.\n">(),
    {},
};

PyGetSetDef properties[] = {
    py::property<DeviceRef, &slot_index>("slot_index", "槽位索引（0–3）"),
    py::property<DeviceRef, &feedback_id>("feedback_id", "回传帧 CAN ID"),
    {},
};

}  // namespace

PyTypeObject* device_type() {
    return py::class_type<DeviceRef>({
        .name = "builtins.Device",
        .doc = "广播组中单个电机驱动器的收发管理单元\n\n"
               "A Device is created by Motor.add_device(). set_target(value) sets the target that the next\n"
               "broadcast sends; get_watch_data() reads the latest feedback. The broadcast frame is 8 bytes\n"
               "of 4 little-endian i16: slot 0 in bytes 0..2, slot 1 in 2..4, slot 2 in 4..6, slot 3 in 6..8.\n",
        .methods = methods,
        .properties = properties,
        .repr = &py::repr_slot<DeviceRef, &repr>,
    });
}

Ref wrap_device(std::shared_ptr<Device> device) { return py::make_instance(device_type(), std::move(device)); }

}  // namespace drovik::motor
