#include "registration.hpp"

#include <array>

namespace drovik {

// Classes in the alphabetical order of their internal type names.
std::span<const ClassEntry> registered_classes() {
    static const std::array<ClassEntry, 0> classes{};
    return classes;
}

std::span<PyMethodDef> registered_functions() {
    static std::array<PyMethodDef, 0> functions{};
    return functions;
}

}  // namespace drovik
