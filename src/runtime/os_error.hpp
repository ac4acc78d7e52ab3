// OS failures as runtime errors: one text for every errno, "{description} (os
// error {code})", with the code kept for callers that act on it (EAGAIN).
#pragma once

#include <string>

#include "runtime/result.hpp"

namespace drovik::rt {

// "{description} (os error {code})", the one format for every OS failure.
std::string os_error_text(int code);
Error os_error(int code, ErrorKind kind = ErrorKind::Other);

}  // namespace drovik::rt
