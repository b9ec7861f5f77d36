#pragma once

// Errors as values: an operation yields its value, or a text that says what failed.
// A caller adds context by prefixing its own step name with `prefixed`, as in
// "read frame: pipe closed".

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvan {

struct Failure {
    std::string text;
};

// "step: text"
inline Failure prefixed(std::string_view step, const Failure& inner) {
    std::string text;
    text.reserve(step.size() + 2 + inner.text.size());
    text.append(step).append(": ").append(inner.text);
    return Failure{std::move(text)};
}

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : error_(std::move(failure.text)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

    // Valid only when !ok().
    const std::string& error() const { return error_; }
    Failure failure() const { return Failure{error_}; }

  private:
    std::optional<T> value_;
    std::string error_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : failed_(true), error_(std::move(failure.text)) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }

    const std::string& error() const { return error_; }
    Failure failure() const { return Failure{error_}; }

  private:
    bool failed_ = false;
    std::string error_;
};

}  // namespace korvan
