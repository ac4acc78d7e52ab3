// Errors as values: every fallible operation of the runtime and the core returns
// a Result, a value or an Error (a kind, the text a user will read, and the errno
// behind it if any). Only the Python faces turn them into exceptions.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace drovik::rt {

enum class ErrorKind { Other, InvalidInput, BrokenPipe, Aborted };

struct Error {
    ErrorKind kind = ErrorKind::Other;
    std::string text;
    int os_code = 0;  // the errno behind an OS error, for callers that act on it (EAGAIN); 0 otherwise
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    T& operator*() & { return value(); }

    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : e_(std::move(error)) {}

    bool ok() const noexcept { return !e_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    void value() const noexcept {}
    const Error& error() const { return *e_; }

private:
    std::optional<Error> e_;
};

// The result of an operation that ran on a runtime which could fail too
// (block_on of a fallible task): the outer error, else the inner result.
template <class T>
Result<T> flatten(Result<Result<T>> nested) {
    if (!nested) return nested.error();
    return std::move(nested).value();
}

}  // namespace drovik::rt
