// Lines for standard error made where nothing may allocate or write (under a
// lock on a receive path): kept in a fixed buffer, written later in one call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "diag/stderr_line.hpp"

namespace drovik::diag {

template <std::size_t Capacity>
class LineBuffer {
public:
    // A line that would not fit whole is left out, never cut.
    class Line {
    public:
        explicit Line(LineBuffer& buffer) : buffer_(buffer), start_(buffer.used_), end_(buffer.used_) {
            if (start_ != 0) put('\n');
        }
        Line(const Line&) = delete;
        ~Line() {
            if (!overflowed_) buffer_.used_ = end_;
        }
        Line& text(std::string_view text) {
            for (char c : text) put(c);
            return *this;
        }
        Line& hex(std::uint32_t value) { return digits(value, 16); }
        Line& decimal(std::uint32_t value) { return digits(value, 10); }

    private:
        Line& digits(std::uint32_t value, std::uint32_t base) {
            char reversed[10];
            std::size_t count = 0;
            do {
                reversed[count++] = "0123456789ABCDEF"[value % base];
                value /= base;
            } while (value != 0);
            while (count != 0) put(reversed[--count]);
            return *this;
        }
        void put(char c) {
            if (end_ == Capacity) {
                overflowed_ = true;
                return;
            }
            buffer_.text_[end_++] = c;
        }

        LineBuffer& buffer_;
        std::size_t start_;
        std::size_t end_;
        bool overflowed_ = false;
    };

    Line line() { return Line(*this); }
    bool empty() const noexcept { return used_ == 0; }
    // Every line, in one write call; the buffer is empty afterwards.
    void write() noexcept {
        if (used_ == 0) return;
        write_stderr_line(std::string_view(text_.data(), used_));
        used_ = 0;
    }

private:
    std::array<char, Capacity> text_;
    std::size_t used_ = 0;
};

}  // namespace drovik::diag
