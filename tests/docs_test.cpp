// The reference pages (doc/*.md) document every option of the table, every
// key of --memory, every --format and every --insert kind the code knows,
// spelled as the pages spell them; one failure lists everything missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.hpp"
#include "cli/validate.hpp"
#include "fields/checksum.hpp"
#include "fields/digest.hpp"
#include "fields/fields.hpp"
#include "formats/registry.hpp"

using namespace romwright;

namespace {

struct page {
  std::string name;  // as doc/NAME
  bool read = false;
  std::string text;
};

page readPage(const std::string& name) {
  page p;
  p.name = name;
  std::ifstream in(std::string(ROMWRIGHT_DOC) + "/" + name, std::ios::binary);
  if (!in) return p;
  std::ostringstream text;
  text << in.rdbuf();
  p.read = true;
  p.text = text.str();
  return p;
}

// The code spans of `text`, single backticks as the pages write them.
std::vector<std::string> codeSpans(std::string_view text) {
  std::vector<std::string> spans;
  for (size_t at = text.find('`'); at != std::string_view::npos;) {
    const size_t end = text.find('`', at + 1);
    if (end == std::string_view::npos) break;
    spans.emplace_back(text.substr(at + 1, end - at - 1));
    at = text.find('`', end + 1);
  }
  return spans;
}

// The code spans of the page's ### headings.
std::vector<std::string> headingSpans(const page& p) {
  std::vector<std::string> spans;
  std::istringstream lines(p.text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("### ")) continue;
    for (std::string& s : codeSpans(line)) spans.push_back(std::move(s));
  }
  return spans;
}

bool nameChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'; }

// --NAME, followed by a character that cannot be in an option's name.
bool mentionsLong(const page& p, std::string_view name) {
  const std::string needle = "--" + std::string(name);
  for (size_t at = p.text.find(needle); at != std::string::npos; at = p.text.find(needle, at + 1)) {
    const size_t after = at + needle.size();
    if (after == p.text.size() || !nameChar(p.text[after])) return true;
  }
  return false;
}

// A code span that starts with -X, X not followed by another letter.
bool mentionsShort(const page& p, char letter) {
  for (const std::string& s : codeSpans(p.text)) {
    if (s.size() >= 2 && s[0] == '-' && s[1] == letter && (s.size() == 2 || !std::isalpha(static_cast<unsigned char>(s[2])))) {
      return true;
    }
  }
  return false;
}

// A ### heading holding `NAME`, or `NAME` followed by what the name takes
// (`KEY=VALUE`, `u32:VALUE`, `sign:ed25519,key=FILE`, `sha256@WHERE`).
bool headed(const std::vector<std::string>& spans, std::string_view name) {
  for (std::string_view s : spans) {
    if (s == name) return true;
    if (!s.starts_with(name)) continue;
    const char next = s[name.size()];
    if (name.back() == ':' || name.back() == '=' || next == '=' || next == ',' || next == '@' || next == '[') return true;
  }
  return false;
}

// The names of a list as the messages give it ("crc32, crc32c, ..."); each
// as the pages head it: a kind that carries text by its prefix (u32:,
// crc:), a signature without its items, the sums without the ~ or - that
// complements them.
std::vector<std::string> kindsOf(std::string_view list) {
  std::vector<std::string> kinds;
  for (size_t at = 0; at < list.size();) {
    size_t end = list.find(", ", at);
    if (end == std::string_view::npos) end = list.size();
    std::string kind(list.substr(at, end - at));
    at = end + 2;
    kind = kind.substr(0, kind.find(','));
    if (const size_t colon = kind.find(':');
        colon != std::string::npos && colon + 1 < kind.size() && std::isupper(static_cast<unsigned char>(kind[colon + 1]))) {
      kind.resize(colon + 1);
    }
    if (kind.starts_with("~") || kind.starts_with("-")) kind.erase(0, 1);
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) kinds.push_back(kind);
  }
  return kinds;
}

struct report {
  std::string text;
  void missing(const page& p, const std::string& how, const std::vector<std::string>& names) {
    if (names.empty()) return;
    text += "  doc/" + p.name + (p.read ? "" : " (cannot be read)") + ", " + how + ":";
    for (const std::string& n : names) text += " " + n;
    text += "\n";
  }
};

}  // namespace

TEST(ReferencePages, DocumentEveryOptionKeyFormatAndInsertKind) {
  report r;

  const page options = readPage("options.md");
  std::vector<std::string> missing;
  for (const optionRow& o : romwright::options()) {
    if (o.name != nullptr && !mentionsLong(options, o.name)) missing.push_back(std::string("--") + o.name);
    if (o.letter != 0 && !mentionsShort(options, o.letter)) missing.push_back(std::string("-") + o.letter);
  }
  r.missing(options, "as --NAME or a code span `-X ...`", missing);

  const page memories = readPage("memories.md");
  const std::vector<std::string> memoryHeads = headingSpans(memories);
  missing.clear();
  for (const char* key : memoryOnlyKeys()) {
    if (!headed(memoryHeads, key)) missing.push_back(key);
  }
  for (const optionRow& o : romwright::options()) {
    if (o.perMemory && !headed(memoryHeads, o.name)) missing.push_back(o.name);
  }
  r.missing(memories, "in a ### heading as `KEY` or `KEY=...`", missing);

  const page formats = readPage("formats.md");
  const std::vector<std::string> formatHeads = headingSpans(formats);
  missing.clear();
  for (const memFormat& f : memFormats()) {
    if (!headed(formatHeads, f.name)) missing.push_back(f.name);
  }
  r.missing(formats, "in a ### heading as `NAME`", missing);

  const page fields = readPage("fields.md");
  const std::vector<std::string> fieldHeads = headingSpans(fields);
  missing.clear();
  for (std::string_view list : {checksumKindNames(), digestKindNames(), signatureKindNames(), constantKindNames()}) {
    for (const std::string& kind : kindsOf(list)) {
      if (!headed(fieldHeads, kind)) missing.push_back(kind);
    }
  }
  r.missing(fields, "in a ### heading as `KIND`", missing);

  EXPECT_TRUE(r.text.empty()) << "Not documented in the reference pages:\n" << r.text;
}
