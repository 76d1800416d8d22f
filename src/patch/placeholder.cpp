#include "patch/placeholder.hpp"

#include <string>

#include "patch/columns.hpp"

namespace romwright {

namespace {

unsigned long long ull(uint64_t v) { return v; }

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// A hex digit's value; 16 for x, X, z, Z and ?, the digits of unknown and
// high-impedance bits; 17 for any other character.
unsigned digitOf(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10u;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10u;
  if (c == 'x' || c == 'X' || c == 'z' || c == 'Z' || c == '?') return 16;
  return 17;
}

// A character as a message shows it: itself when printable, else '?', so
// that a hostile file cannot steer a terminal.
char shown(uint8_t c) { return c >= ' ' && c < 127 ? static_cast<char>(c) : '?'; }

// The first characters of a token, for messages.
std::string quoted(std::span<const uint8_t> text, size_t from, size_t to) {
  std::string s;
  for (size_t i = from; i < to && s.size() < 24; ++i) s += shown(text[i]);
  if (to - from > 24) s += "...";
  return s;
}

Error malformed(size_t line, const std::string& what) {
  return Error{strf("line %zu: %s\n", line, what.c_str()), ErrorKind::malformed};
}

}  // namespace

Result<std::vector<uint64_t>> readPlaceholder(std::span<const uint8_t> text, uint32_t width, uint64_t depth) {
  const uint64_t mask = widthMask(width);
  std::vector<uint64_t> words(depth, 0);
  std::vector<uint64_t> given((depth + 63) / 64, 0);
  uint64_t next = 0, count = 0;
  size_t line = 1;
  const size_t n = text.size();
  for (size_t at = 0; at < n;) {
    const uint8_t c = text[at];
    if (isSpace(c)) {
      line += c == '\n';
      ++at;
      continue;
    }
    if (c == '/' && at + 1 < n && text[at + 1] == '/') {
      while (at < n && text[at] != '\n') ++at;
      continue;
    }
    if (c == '/' && at + 1 < n && text[at + 1] == '*') {
      const size_t opened = line;
      for (at += 2; at + 1 < n && !(text[at] == '*' && text[at + 1] == '/'); ++at) line += text[at] == '\n';
      if (at + 1 >= n) return malformed(opened, "a /* comment is not closed");
      at += 2;
      continue;
    }
    if (c == '/') return malformed(line, "'/' is not a hex digit");
    // A number, or `@` and a number: up to white space or a comment.
    const bool address = c == '@';
    const size_t start = at + (address ? 1 : 0);
    size_t end = start;
    while (end < n && !isSpace(text[end]) && text[end] != '/') ++end;
    uint64_t value = 0;
    bool wide = false, unknown = false;
    for (size_t i = start; i < end; ++i) {
      const uint8_t ch = text[i];
      if (ch == '_' && i > start) continue;
      const unsigned d = digitOf(ch);
      if (d == 17) {
        return malformed(line, strf("'%c' is not a hex digit%s", shown(ch),
                                    ch == '@' ? " (an @ starts a word's index)" : ""));
      }
      if (d == 16) {
        unknown = true;
        continue;
      }
      wide = wide || (value >> 60) != 0;
      value = value << 4 | d;
    }
    if (start == end) return malformed(line, "an @ without an index");
    if (address) {
      if (unknown) {
        return malformed(line, strf("@%s: an index has no x or z digits", quoted(text, start, end).c_str()));
      }
      if (wide || value >= depth) {
        return malformed(line, strf("@%s: past the memory's %llu words", quoted(text, start, end).c_str(),
                                    ull(depth)));
      }
      next = value;
    } else {
      if (unknown) {
        return malformed(line, strf("word %s has x or z digits: a placeholder's bits are all 0s and 1s",
                                    quoted(text, start, end).c_str()));
      }
      if (wide || (value & ~mask) != 0) {
        return malformed(line, strf("word %s does not fit in %u bits", quoted(text, start, end).c_str(), width));
      }
      if (next >= depth) {
        return malformed(line, strf("word %s is past the memory's %llu words", quoted(text, start, end).c_str(),
                                    ull(depth)));
      }
      uint64_t& bits = given[next / 64];
      const uint64_t bit = uint64_t{1} << (next % 64);
      if ((bits & bit) != 0) return malformed(line, strf("a second word for word %llu", ull(next)));
      bits |= bit;
      words[next++] = value;
      ++count;
    }
    at = end;
  }
  if (count != depth) {
    uint64_t first = 0;
    while ((given[first / 64] >> (first % 64) & 1) != 0) ++first;
    return Error{strf("no word for word %llu: the file gives %llu of the memory's %llu words\n", ull(first),
                      ull(count), ull(depth)),
                 ErrorKind::malformed};
  }
  return words;
}

}  // namespace romwright
