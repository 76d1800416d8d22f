// Source code that declares the image: a VHDL package, C.
#include "formats/writers.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "formats/text.hpp"

namespace romwright::formats {

// A VHDL package: the depth and width as constants, the array type, and
// the image as a constant of that type. Words narrower than 4 bits are
// string literals of their bits ("01"), wider ones hex (x"0a").
bool writeVhdl(sink& s, const memLayout& m, wordReader& r) {
  const char* n = m.name;
  // A one-word aggregate must name its index: a lone positional element
  // would read as a parenthesised expression.
  const std::string before = std::string(m.depth == 1 ? "0 => " : "") + (m.width < 4 ? "\"" : "x\"");
  return putf(s,
              "-- %s: %llu words of %u bits, word 0 at address 0x%08llx\n"
              "library ieee;\nuse ieee.std_logic_1164.all;\n\n"
              "package %s_pkg is\n"
              "  constant %s_depth : natural := %llu;\n"
              "  constant %s_width : natural := %u;\n"
              "  type %s_t is array (0 to %s_depth - 1)\n"
              "    of std_ulogic_vector(%s_width - 1 downto 0);\n"
              "  constant %s : %s_t := (\n",
              n, ull(m.depth), m.width, ull(m.address), n, n, ull(m.depth), n, m.width, n, n, n,
              n, n) &&
         wordRows(s, m, r, "    ", before.c_str(), "\"") &&
         putf(s, "  );\nend package %s_pkg;\n", n) && flush(s);
}

namespace {


const char* cType(uint32_t width) {
  return width <= 8 ? "uint8_t" : width <= 16 ? "uint16_t" : width <= 32 ? "uint32_t" : "uint64_t";
}

bool cComment(sink& s, const memLayout& m) {
  return putf(s, "/* %s: %llu words of %u bits, word 0 at address 0x%08llx */\n", m.name,
              ull(m.depth), m.width, ull(m.address));
}

// The declarations of the C image, with C linkage in C++ too. The image's
// own file has them before the definitions, so that its const objects have
// external linkage when it is compiled as C++.
bool cDeclarations(sink& s, const memLayout& m) {
  return putf(s,
              "#ifdef __cplusplus\nextern \"C\" {\n#endif\n"
              "extern const uint32_t %s_base;\nextern const uint32_t %s_words;\n"
              "extern const %s %s[%llu];\n"
              "#ifdef __cplusplus\n}\n#endif\n",
              m.name, m.name, cType(m.width), m.name, ull(m.depth));
}

}  // namespace

// C source that compiles on its own as C99 or C++: the image as a const
// array of uintW_t, its base address and its number of words.
bool writeC(sink& s, const memLayout& m, wordReader& r) {
  const char* n = m.name;
  return cComment(s, m) && putf(s, "#include <stdint.h>\n\n") && cDeclarations(s, m) &&
         putf(s,
              "\nconst uint32_t %s_base = 0x%08llx;\nconst uint32_t %s_words = %llu;\n"
              "const %s %s[%llu] = {\n",
              n, ull(m.address), n, ull(m.depth), cType(m.width), n, ull(m.depth)) &&
         wordRows(s, m, r, "  ", "0x", m.width > 32 ? "ULL" : "") && putf(s, "};\n") && flush(s);
}

// The header of the C image: the same declarations behind an include guard.
bool writeCHeader(sink& s, const memLayout& m, wordReader&) {
  std::string guard = m.name;
  for (char& c : guard) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return cComment(s, m) &&
         putf(s, "#ifndef %s_H\n#define %s_H\n\n#include <stdint.h>\n\n", guard.c_str(),
              guard.c_str()) &&
         cDeclarations(s, m) && putf(s, "\n#endif\n") && flush(s);
}

}  // namespace romwright::formats
