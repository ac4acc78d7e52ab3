#include "py/convert.hpp"

#include <limits>

#include "py/error.hpp"
#include "py/ref.hpp"
#include "py/text.hpp"

namespace drovik::py {

namespace {

// The interpreter's own messages: "... cannot be interpreted as an integer",
// "can't convert negative int to unsigned", "int too big to convert".
std::uint64_t to_unsigned(PyObject* obj, std::uint64_t max) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : check(PyNumber_Index(obj));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (value > max) raise(PyExc_OverflowError, "int too big to convert");
    return value;
}

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name, target);
    throw ErrorAlreadySet{};
}

}  // namespace

std::uint8_t to_u8(PyObject* obj) {
    return static_cast<std::uint8_t>(to_unsigned(obj, std::numeric_limits<std::uint8_t>::max()));
}

std::uint32_t to_u32(PyObject* obj) {
    return static_cast<std::uint32_t>(to_unsigned(obj, std::numeric_limits<std::uint32_t>::max()));
}

std::uint64_t to_u64(PyObject* obj) { return to_unsigned(obj, std::numeric_limits<std::uint64_t>::max()); }

double to_double(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return value;
}

bool to_bool(PyObject* obj) {
    if (!PyBool_Check(obj)) cannot_convert(obj, "bool");
    return obj == Py_True;
}

std::string to_string(PyObject* obj) {
    if (!PyUnicode_Check(obj)) cannot_convert(obj, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw ErrorAlreadySet{};
    return std::string(utf8, static_cast<size_t>(size));
}

std::vector<std::uint8_t> to_payload(PyObject* obj) {
    if (PyBytes_Check(obj)) {
        auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        return {data, data + PyBytes_GET_SIZE(obj)};
    }
    if (PyByteArray_Check(obj)) {
        auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
        return {data, data + PyByteArray_GET_SIZE(obj)};
    }
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
    // No reservation by len(): a sequence may claim any length, and only its items count.
    std::vector<std::uint8_t> bytes;
    Ref iterator = check(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) bytes.push_back(to_u8(item.get()));
    throw_if_error_set();
    return bytes;
}

void reraise_for_argument(const char* name) {
    Ref cause = fetch_error();
    if (!cause || !PyErr_GivenExceptionMatches(cause.get(), PyExc_TypeError)) {
        restore_error(std::move(cause));
        throw ErrorAlreadySet{};
    }
    Ref message = Ref::steal(PyObject_Str(cause.get()));
    if (!message) throw ErrorAlreadySet{};
    Ref wrapped = check(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    Ref error = check(PyObject_CallOneArg(PyExc_TypeError, wrapped.get()));
    PyException_SetCause(error.get(), Ref::borrow(cause.get()).release());
    PyException_SetContext(error.get(), cause.release());
    restore_error(std::move(error));
    throw ErrorAlreadySet{};
}

}  // namespace drovik::py
