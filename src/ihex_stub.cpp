// Placeholder readers until the record readers land.
#include "inputs.hpp"

bool isIhex(std::span<const uint8_t>) { return false; }
bool isSrec(std::span<const uint8_t>) { return false; }
status readIhex(inputSource& in, image&) { return failuref("%s: Intel HEX is not read yet\n", in.name.c_str()); }
status readSrec(inputSource& in, image&) { return failuref("%s: S-records are not read yet\n", in.name.c_str()); }
