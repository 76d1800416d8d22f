// Failures as values: a step that can fail returns a Result, and the error
// travels up to whoever called the library: the command line prints its
// message and sets the status; a program or a script tests its kind. The
// types are the library's public ones; here are the helpers that make them.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "romwright/error.hpp"

namespace romwright {

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

using status = Result<void>;
inline constexpr std::monostate done{};

}  // namespace romwright
