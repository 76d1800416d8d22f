// Where a run's notes go: the loader's lines, warnings, segments cut or
// left out. The command line prints them as they come; a caller of the
// library collects them, or drops them.
#pragma once

#include <functional>
#include <string>

namespace romwright {

// Takes one or more whole lines, each ending in a newline.
using noteFn = std::function<void(const std::string&)>;

// Hands `lines` to `note` when there are any and someone takes them.
inline void tell(const noteFn& note, const std::string& lines) {
  if (note && !lines.empty()) note(lines);
}

}  // namespace romwright
