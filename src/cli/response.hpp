// Response files: an argument "@FILE" stands for the arguments in FILE.
#pragma once

#include <cstddef>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace romwright {

// Appends the arguments of `args`, each "@FILE" replaced by the arguments in
// FILE: one a line, lines that are empty or start with # left out, line ends
// (LF or CRLF) and the blanks around an argument not part of it. A response
// file may name others, up to a depth of 16. A line is at most 65536
// characters, a NUL byte is refused with its line's number, and the
// response files of one command line hold at most 16 MiB together; each is
// refused as soon as its bytes show it.
status expandArguments(std::span<const std::string> args, std::deque<std::string>& out, int depth = 0);

// The arguments of one response file, its bytes fed as they are read: a
// line is cut as soon as it ends, and one too long or holding a NUL is
// refused as soon as it is seen.
class responseText {
 public:
  static constexpr size_t longestLine = 65536;

  explicit responseText(std::string name) : name_(std::move(name)) {}
  // Takes the next bytes of the file.
  status feed(std::string_view bytes);
  // The file has ended: its last line, without an LF, is taken.
  status finish();
  const std::vector<std::string>& arguments() const { return args_; }

 private:
  Error lineError(const char* what) const;
  void take();

  std::string name_;
  std::string line_;       // the line so far
  unsigned long long number_ = 1;  // of that line
  std::vector<std::string> args_;
};

}  // namespace romwright
