#include "py/text.hpp"

namespace drovik::py {

Ref to_python(std::string_view utf8) {
    return check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

}  // namespace drovik::py
