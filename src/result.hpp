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

// printf into a string.
inline std::string vstrf(const char* fmt, va_list ap) {
  va_list again;
  va_copy(again, ap);
  const int n = vsnprintf(nullptr, 0, fmt, ap);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

__attribute__((format(printf, 1, 2))) inline std::string strf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vstrf(fmt, ap);
  va_end(ap);
  return text;
}

// A failure with a printf-style text.
__attribute__((format(printf, 1, 2))) inline failure failuref(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  failure f{vstrf(fmt, ap)};
  va_end(ap);
  return f;
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
