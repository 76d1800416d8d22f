// The identifiers the C and VHDL formats declare: a name must be one in
// both languages and clash with nothing they or <stdint.h> declare.
#include "formats/identifiers.hpp"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string_view>

namespace romwright {

namespace {

// Keywords a name must not be: those of C and C++ as written, and those of
// VHDL in any case.
constexpr const char* cKeywords[] = {
    "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break",
    "case", "catch", "char", "char8_t", "char16_t", "char32_t", "class", "co_await", "co_return",
    "co_yield", "compl", "concept", "const", "const_cast", "consteval", "constexpr", "constinit",
    "continue", "decltype", "default", "delete", "do", "double", "dynamic_cast", "else", "enum",
    "explicit", "export", "extern", "false", "float", "for", "friend", "goto", "if", "inline",
    "int", "long", "mutable", "namespace", "new", "noexcept", "not", "not_eq", "nullptr",
    "operator", "or", "or_eq", "private", "protected", "public", "register", "reinterpret_cast",
    "requires", "restrict", "return", "short", "signed", "sizeof", "static", "static_assert",
    "static_cast", "struct", "switch", "template", "this", "thread_local", "throw", "true", "try",
    "typedef", "typeid", "typename", "union", "unsigned", "using", "virtual", "void", "volatile",
    "wchar_t", "while", "xor", "xor_eq"};
constexpr const char* vhdlKeywords[] = {
    "abs", "access", "after", "alias", "all", "and", "architecture", "array", "assert", "assume",
    "attribute", "begin", "block", "body", "buffer", "bus", "case", "component", "configuration",
    "constant", "context", "cover", "default", "disconnect", "downto", "else", "elsif", "end",
    "entity", "exit", "fairness", "file", "for", "force", "function", "generate", "generic",
    "group", "guarded", "if", "impure", "in", "inertial", "inout", "is", "label", "library",
    "linkage", "literal", "loop", "map", "mod", "nand", "new", "next", "nor", "not", "null", "of",
    "on", "open", "or", "others", "out", "package", "parameter", "port", "postponed", "private",
    "procedure", "process", "property", "protected", "pure", "range", "record", "register",
    "reject", "release", "rem", "report", "restrict", "return", "rol", "ror", "select",
    "sequence", "severity", "shared", "signal", "sla", "sll", "sra", "srl", "strong", "subtype",
    "then", "to", "transport", "type", "unaffected", "units", "until", "use", "variable", "view",
    "vmode", "vpkg", "vprop", "vunit", "wait", "when", "while", "with", "xnor", "xor"};

// Names of the kinds <stdint.h> declares, which a C image beside it cannot
// take: types ending in _t, and macros such as INT8_MAX, UINT64_C or
// SIZE_MAX.
bool stdintName(std::string_view n) {
  if (n.ends_with("_t")) return true;
  for (std::string_view prefix : {"INT", "UINT", "SIZE_", "PTRDIFF_", "SIG_ATOMIC_", "WCHAR_", "WINT_"}) {
    if (n.starts_with(prefix) && (n.ends_with("_MAX") || n.ends_with("_MIN") || n.ends_with("_C"))) {
      return true;
    }
  }
  return false;
}

}  // namespace

// Why `name` cannot name an image in C and VHDL, or null when it can: a
// letter, then letters, digits and single underscores, not ending in one,
// no keyword, no name of <stdint.h>, and neither main nor std. The names the
// formats make from it (NAME_base, NAME_words and the guard NAME_H in C;
// NAME_pkg, NAME_t, NAME_depth and NAME_width in VHDL; NAME_0 and so on for
// lanes) need no check of their own: no C or C++ keyword or <stdint.h> name
// ends in those suffixes, NAME_t is declared in VHDL only, and no VHDL
// reserved word holds an underscore.
const char* nameProblem(const char* name) {
  bool ok = isalpha(static_cast<unsigned char>(name[0]));
  for (const char* c = name; ok && *c != '\0'; c++) {
    ok = isalnum(static_cast<unsigned char>(*c)) || (*c == '_' && c[1] != '_' && c[1] != '\0');
  }
  if (!ok) return "not a C and VHDL identifier";
  for (const char* word : cKeywords) {
    if (strcmp(word, name) == 0) return "a reserved word of C or C++";
  }
  for (const char* word : vhdlKeywords) {
    if (strcasecmp(word, name) == 0) return "a reserved word of VHDL";
  }
  if (stdintName(name)) return "a name that <stdint.h> may declare";
  // The C image declares NAME at file scope, where C++ refuses these two.
  if (strcmp(name, "main") == 0) return "the name of the program's entry function in C and C++";
  if (strcmp(name, "std") == 0) return "the namespace of the C++ standard library";
  return nullptr;
}

}  // namespace romwright
