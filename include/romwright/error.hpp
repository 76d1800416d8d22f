// romwright: errors as values. Every call of the library that can fail
// returns a Result: the value, or the Error that kept it from being made.
#pragma once

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

// The name of `kind`, as the enumerator is spelled ("bad_argument", ...).
inline const char* kindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::bad_argument: return "bad_argument";
    case ErrorKind::unreadable: return "unreadable";
    case ErrorKind::malformed: return "malformed";
    case ErrorKind::layout: return "layout";
    case ErrorKind::io: return "io";
  }
  return "layout";
}

// Why a step failed. `message` is the text the command line writes to
// standard error: one or more lines, each ending in a newline.
struct Error {
  Error() = default;
  explicit Error(std::string text, ErrorKind k = ErrorKind::layout, std::string about = {}, int err = 0)
      : message(std::move(text)), kind(k), subject(std::move(about)), errnum(err) {}

  std::string message;
  ErrorKind kind = ErrorKind::layout;
  std::string subject;  // the file, option or address it is about, when one is
  int errnum = 0;       // the system's errno behind it, or 0
};

// A value, or the error that kept it from being made. Result<void> is the
// result of a step that makes nothing.
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

}  // namespace romwright
