// A value or an error, for operations whose failure is part of their answer.
// (std::expected would do, but the fuzzing compiler's library lacks it.)
#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace platform {

template <typename E>
struct Err {
    E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <typename F>
    Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(v_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    E& error() & {
        assert(!ok());
        return std::get<1>(v_);
    }
    const E& error() const& {
        assert(!ok());
        return std::get<1>(v_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(v_));
    }

private:
    std::variant<T, E> v_;
};

// For operations that produce nothing but may fail.
struct Unit {};

}  // namespace platform
