#pragma once
// The outcome of an operation that makes a value: the value, or the error that prevented it.
// Operations that make nothing return an ErrorPtr (null on success). Both are [[nodiscard]], so a
// failure is never dropped by accident.
#include <cassert>
#include <utility>
#include <variant>

#include "quarra/Error.h"

namespace quarra {

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    // `error` must not be null: a failure always says what failed.
    Result(ErrorPtr error) : state_(std::in_place_index<1>, std::move(error)) {
        assert(std::get<1>(state_) != nullptr);
    }

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The value, or `fallback` when the operation failed.
    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }
    T valueOr(T fallback) && { return ok() ? std::move(*this).value() : std::move(fallback); }

    // Null when ok().
    ErrorPtr error() const { return ok() ? nullptr : std::get<1>(state_); }

    // A failure equals no value.
    template <class U>
    friend bool operator==(const Result& result, const U& expected) {
        return result.ok() && result.value() == expected;
    }

  private:
    std::variant<T, ErrorPtr> state_;
};

}  // namespace quarra
