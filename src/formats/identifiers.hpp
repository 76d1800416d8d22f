// What a name of an image may be in the source-code formats.
#pragma once

namespace romwright {

// Why `name` cannot name an image in C and VHDL, or null when it can.
const char* nameProblem(const char* name);

}  // namespace romwright
