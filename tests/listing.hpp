// Expected hex listing lines for the tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "elf_fixture.hpp"

namespace fixture {

inline std::string zeros(size_t lines) {
  std::string s;
  for (size_t i = 0; i < lines; i++) s += "00000000\n";
  return s;
}

// `n` words counting up, as text bytes and as listing lines.
inline std::vector<uint8_t> words(size_t n) { return counting(4 * n); }
inline std::string wordLines(size_t n) {
  std::string s;
  for (unsigned i = 0; i < n; i++) {
    char line[10];
    snprintf(line, sizeof line, "%02x%02x%02x%02x\n", (1 + 4 * i) & 255, (2 + 4 * i) & 255,
             (3 + 4 * i) & 255, (4 + 4 * i) & 255);
    s += line;
  }
  return s;
}

}  // namespace fixture
