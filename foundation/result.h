// Failures are values: an operation returns either its result or an error.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace zarvo {

// Media and update failures: a user-facing Chinese message and a small code.
struct Error {
    std::string message;
    int code = 0;
    bool operator==(const Error&) const = default;
};

template <class E> struct Unexpected {
    E error;
};
template <class E> Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E = Error> class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Unexpected<F> failure) : value_(std::in_place_index<1>, E(std::move(failure.error))) {}

    bool ok() const { return value_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(value_); }
    const T& value() const { return std::get<0>(value_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const E& error() const { return std::get<1>(value_); }

private:
    std::variant<T, E> value_;
};

struct Ok {};
// An operation with nothing to return but success or an error.
template <class E = Error> using Status = Result<Ok, E>;

} // namespace zarvo
