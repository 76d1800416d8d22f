// Response files.
#include "cli/response.hpp"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace romwright {

status expandArguments(std::span<const std::string> args, std::deque<std::string>& out, int depth) {
  for (const std::string& word : args) {
    const char* arg = word.c_str();
    if (arg[0] != '@' || arg[1] == '\0') {
      out.push_back(word);
      continue;
    }
    if (depth == 16) return failuref("%s: response files nest deeper than 16\n", arg);
    FILE* f = fopen(arg + 1, "r");
    if (f == nullptr) return failuref("unable to read response file %s\n", arg + 1);
    std::deque<std::string> lines;
    char* line = nullptr;
    size_t cap = 0;
    for (ssize_t n; (n = getline(&line, &cap, f)) >= 0;) {
      std::string l(line, static_cast<size_t>(n));
      while (!l.empty() && (l.back() == '\n' || l.back() == '\r' || l.back() == ' ' || l.back() == '\t')) {
        l.pop_back();
      }
      const size_t first = l.find_first_not_of(" \t");
      if (first == std::string::npos || l[first] == '#') continue;
      lines.push_back(l.substr(first));
    }
    free(line);
    // getline ends on an error (out of memory among them) as on the end of
    // the file: only the end of the file is one.
    const bool bad = ferror(f) != 0 || feof(f) == 0;
    fclose(f);
    if (bad) return failuref("unable to read response file %s\n", arg + 1);
    const std::vector<std::string> inner(lines.begin(), lines.end());
    if (status s = expandArguments(inner, out, depth + 1); !s) return s;
  }
  return done;
}

}  // namespace romwright
