#include "runtime/os_error.hpp"

#include <string.h>

namespace drovik::rt {

std::string os_error_text(int code) {
    char buf[256];
    // GNU strerror_r: thread-safe, may return a static string instead of buf.
    const char* description = strerror_r(code, buf, sizeof buf);
    return std::string(description) + " (os error " + std::to_string(code) + ")";
}

Error os_error(int code, ErrorKind kind) { return Error{kind, os_error_text(code), code}; }

}  // namespace drovik::rt
