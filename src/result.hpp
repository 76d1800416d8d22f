// Failures as values: a step that can fail returns a result, and the text
// of a failure travels up to main, which prints it and sets the status.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <variant>

// Why a step failed: the whole text for standard error, one or more lines
// each ending in a newline.
struct failure {
  std::string text;
};

// A failure with a printf-style text.
__attribute__((format(printf, 1, 2))) inline failure failuref(const char* fmt, ...) {
  va_list a, b;
  va_start(a, fmt);
  va_copy(b, a);
  const int n = vsnprintf(nullptr, 0, fmt, a);
  va_end(a);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, fmt, b);
  va_end(b);
  return {std::move(text)};
}

// A value, or the failure that kept it from being made.
template <class T = std::monostate>
class [[nodiscard]] result {
 public:
  result() = default;
  result(T value) : v_(std::move(value)) {}
  result(failure f) : v_(std::move(f)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& operator*() { return std::get<0>(v_); }
  const T& operator*() const { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  const failure& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, failure> v_;
};

// The result of a step that makes nothing but can fail.
using status = result<>;
inline constexpr std::monostate done{};
