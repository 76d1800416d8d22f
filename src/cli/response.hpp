// Response files: an argument "@FILE" stands for the arguments in FILE.
#pragma once

#include <deque>
#include <span>
#include <string>

#include "core/error.hpp"

namespace romwright {

// Appends the arguments of `args`, each "@FILE" replaced by the arguments in
// FILE: one a line, lines that are empty or start with # left out, line ends
// (LF or CRLF) and the blanks around an argument not part of it. A response
// file may name others, up to a depth of 16.
status expandArguments(std::span<const std::string> args, std::deque<std::string>& out, int depth = 0);

}  // namespace romwright
