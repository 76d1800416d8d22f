// Failures as values: a step that can fail returns a Result, and the error
// travels up to whoever called the library: the command line prints its
// message and sets the status; a program or a script tests its kind.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace romwright {

// What went wrong, in the terms a caller acts on.
enum class ErrorKind {
  bad_argument,  // an option or a value the caller gave
  unreadable,    // an input that cannot be opened or read
  malformed,     // an input whose content is not what its kind must hold
  layout,        // the bytes do not fit the memories, fields or formats asked for
  io,            // an output that cannot be written
};

// Why a step failed. `message` is the whole text the command line writes
// to standard error: one or more lines, each ending in a newline.
struct Error {
  Error() = default;
  explicit Error(std::string text, ErrorKind k = ErrorKind::layout, std::string about = {}, int err = 0)
      : message(std::move(text)), kind(k), subject(std::move(about)), errnum(err) {}

  std::string message;
  ErrorKind kind = ErrorKind::layout;
  std::string subject;  // the file, option or address it is about, when one is
  int errnum = 0;       // the system's errno behind it, or 0
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

// The system's words for errno `err` ("No space left on device"), the
// same in every thread and locale.
inline std::string reasonOf(int err) {
  if (const char* text = strerrordesc_np(err)) return text;
  return strf("Unknown error %d", err);
}

// An error of the default kind with a printf-style message.
__attribute__((format(printf, 1, 2))) inline Error failuref(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Error e{vstrf(fmt, ap)};
  va_end(ap);
  return e;
}

// An error of `kind` about `subject`, with a printf-style message.
__attribute__((format(printf, 3, 4))) inline Error errorf(ErrorKind kind, std::string subject, const char* fmt,
                                                           ...) {
  va_list ap;
  va_start(ap, fmt);
  Error e{vstrf(fmt, ap), kind, std::move(subject)};
  va_end(ap);
  return e;
}

// The same error as `e` with `kind` and `subject` set, where a lower step
// could not know them.
inline Error withKind(Error e, ErrorKind kind, std::string subject = {}) {
  e.kind = kind;
  if (!subject.empty()) e.subject = std::move(subject);
  return e;
}

// A value, or the error that kept it from being made. Result<void> (and
// its name `status`) is the result of a step that makes nothing.
template <class T = void>
class [[nodiscard]] Result {
  using stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

 public:
  Result() = default;
  Result(stored value) : v_(std::move(value)) {}
  Result(Error e) : v_(std::move(e)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  template <class U = T>
  std::enable_if_t<!std::is_void_v<U>, U&> value() & {
    return std::get<0>(v_);
  }
  template <class U = T>
  std::enable_if_t<!std::is_void_v<U>, const U&> value() const& {
    return std::get<0>(v_);
  }
  template <class U = T>
  std::enable_if_t<!std::is_void_v<U>, U&&> value() && {
    return std::get<0>(std::move(v_));
  }
  template <class U = T>
  std::enable_if_t<std::is_void_v<U>> value() const {}

  stored& operator*() { return std::get<0>(v_); }
  const stored& operator*() const { return std::get<0>(v_); }
  stored* operator->() { return &std::get<0>(v_); }
  const stored* operator->() const { return &std::get<0>(v_); }
  const Error& error() const { return std::get<1>(v_); }
  Error& error() { return std::get<1>(v_); }

 private:
  std::variant<stored, Error> v_;
};

using status = Result<void>;
inline constexpr std::monostate done{};

}  // namespace romwright
