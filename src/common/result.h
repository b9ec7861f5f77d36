#pragma once

// Errors as values: an operation yields its value, or a text that says what failed.
// A caller adds context by prefixing its own step name with `prefixed`, as in
// "read frame: pipe closed". A failure that a system call reported keeps that call's
// error code beside the text, through every prefix.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvan {

struct Failure {
    std::string text;
    // The Windows error code (a DWORD) behind the failure; 0 when none is.
    std::uint32_t system_error = 0;
};

// "step: text"
inline Failure prefixed(std::string_view step, const Failure& inner) {
    std::string text;
    text.reserve(step.size() + 2 + inner.text.size());
    text.append(step).append(": ").append(inner.text);
    return Failure{std::move(text), inner.system_error};
}

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : failure_(std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

    // Valid only when !ok().
    const std::string& error() const { return failure_.text; }
    const Failure& failure() const { return failure_; }

  private:
    std::optional<T> value_;
    Failure failure_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : failed_(true), failure_(std::move(failure)) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }

    const std::string& error() const { return failure_.text; }
    const Failure& failure() const { return failure_; }

  private:
    bool failed_ = false;
    Failure failure_;
};

}  // namespace korvan
