#include "diag/stderr_line.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace drovik::diag {

void write_stderr_line(std::string_view line) noexcept {
    std::string buffer;
    try {
        buffer.reserve(line.size() + 1);
        buffer.append(line);
        buffer.push_back('\n');
    } catch (...) {
        return;  // out of memory: losing a diagnostic line beats dying for it
    }
    const char* p = buffer.data();
    size_t left = buffer.size();
    // One write normally carries the whole line; a short write to a pipe is finished off.
    while (left > 0) {
        ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

namespace {

// Paths from the build machine say nothing to a user; keep the part below src/.
std::string_view short_path(std::string_view path) noexcept {
    size_t at = path.rfind("src/");
    return at == std::string_view::npos ? path : path.substr(at);
}

}  // namespace

void report_internal_failure(std::string_view text, std::source_location where) noexcept {
    char name[32] = "?";
    pthread_getname_np(pthread_self(), name, sizeof name);
    try {
        std::string line = "drovik: internal failure in thread '";
        line += name;
        line += "' at ";
        line += short_path(where.file_name());
        line += ':';
        line += std::to_string(where.line());
        line += ": ";
        line += text;
        write_stderr_line(line);
    } catch (...) {
    }
}

}  // namespace drovik::diag
