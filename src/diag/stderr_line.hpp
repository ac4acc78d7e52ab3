// Whole lines straight to file descriptor 2: never through sys.stderr, never
// interleaved with another thread's line, safe from any thread.
#pragma once

#include <source_location>
#include <string_view>

namespace drovik::diag {

// Appends the newline itself; one write call per line.
void write_stderr_line(std::string_view line) noexcept;

// The report every internal failure leaves behind, wherever it happens:
// thread name, source location and the failure text, on one line.
void report_internal_failure(std::string_view text,
                             std::source_location where = std::source_location::current()) noexcept;

}  // namespace drovik::diag
