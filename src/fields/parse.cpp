// Reading --insert=KIND@WHERE[,ITEM...]: the kind, the address and the
// items that shape what a field covers and how it is stored.
#include <elf.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "core/numbers.hpp"
#include "fields/fields.hpp"

namespace romwright {

namespace {

constexpr std::string_view usage = "not KIND@WHERE[,KEY=VALUE...]";
constexpr std::string_view overForm =
    "over= is FROM..TO[+FROM..TO...], each an address or sym:NAME[+N], TO also end";
constexpr std::string_view constantNames =
    "u8:VALUE, u16:VALUE, u32:VALUE, u64:VALUE, bytes:HEX, string:TEXT, file:PATH";

// An address or an offset: 0x hex or decimal, up to 64 bits.
numberRead readAddressNumber(std::string_view text, uint64_t& v) {
  return readNumber(std::string(text).c_str(), false, v, UINT64_MAX);
}

// Reads WHERE: 0x hex or decimal, or sym:NAME or sym:NAME+N, the whole of
// `text`. `number` is set to the number's text.
numberRead parseWhere(std::string_view text, insertAddress& a, std::string& number) {
  if (text.starts_with("sym:")) {
    text.remove_prefix(4);
    const size_t plus = text.find('+');
    a.symbol = std::string(text.substr(0, plus));
    if (a.symbol.empty()) return numberRead::malformed;
    if (plus == std::string_view::npos) return numberRead::ok;
    text.remove_prefix(plus + 1);
  }
  number = text;
  return readAddressNumber(text, a.value);
}

bool isAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The word of letters and digits at `at`: a number, or `end`.
std::string_view wordAt(std::string_view s, size_t at) {
  size_t e = at;
  while (e < s.size() && isAlnum(s[e])) e++;
  return s.substr(at, e - at);
}

// Reads the ranges of over=, FROM..TO joined by '+'. A '+' after a symbol
// is its offset unless what follows it is the next range's FROM (a number
// followed by ..): in `sym:a+4..sym:b+8+0x200..end` the 4 and the 8 are
// offsets and 0x200 starts the second range. `number` is set to a number
// that is too large.
numberRead parseRanges(std::string_view s, std::vector<insertRange>& out, std::string& number) {
  size_t at = 0;
  // One address at `at`; `to` says it is a TO, which may be `end` and
  // after which a '+' may start the next range.
  auto address = [&](insertAddress& a, bool to, bool* isEnd) -> numberRead {
    if (s.substr(at).starts_with("sym:")) {
      at += 4;
      size_t e = at;
      while (e < s.size() && s[e] != '+' && s.substr(e, 2) != "..") e++;
      a.symbol = std::string(s.substr(at, e - at));
      at = e;
      if (a.symbol.empty()) return numberRead::malformed;
      if (at == s.size() || s[at] != '+') return numberRead::ok;
      const std::string_view n = wordAt(s, at + 1);
      if (to && s.substr(at + 1 + n.size()).starts_with("..")) return numberRead::ok;
      at += 1 + n.size();
      number = n;
      return readAddressNumber(n, a.value);
    }
    const std::string_view n = wordAt(s, at);
    at += n.size();
    if (to && n == "end") {
      *isEnd = true;
      return numberRead::ok;
    }
    number = n;
    return readAddressNumber(n, a.value);
  };
  for (;;) {
    insertRange r;
    if (numberRead read = address(r.from, false, nullptr); read != numberRead::ok) return read;
    if (!s.substr(at).starts_with("..")) return numberRead::malformed;
    at += 2;
    if (numberRead read = address(r.to, true, &r.toEnd); read != numberRead::ok) return read;
    out.push_back(std::move(r));
    if (at == s.size()) return numberRead::ok;
    if (s[at] != '+') return numberRead::malformed;
    at++;
  }
}

// Hex digit pairs, the first byte first.
bool parseHexBytes(std::string_view text, std::vector<uint8_t>& out) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.empty() || text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

// Whether KIND's text takes backslash escapes: string:TEXT and file:PATH.
bool escaped(std::string_view kind) { return kind.starts_with("string:") || kind.starts_with("file:"); }

// Where KIND ends: at the first '@', or for string:TEXT and file:PATH at
// the first '@' that no backslash escapes.
size_t kindEnd(std::string_view all) {
  if (!escaped(all)) return all.find('@');
  for (size_t i = all.find(':') + 1; i < all.size(); i++) {
    if (all[i] == '\\') i++;
    else if (all[i] == '@') return i;
  }
  return std::string_view::npos;
}

// The bytes of string:TEXT and file:PATH: the text as given, but \@ for @,
// \\ for \ and \xHH for the byte HH. `kind` names it in messages.
Result<std::vector<uint8_t>> unescape(std::string_view text, const char* kind) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '\\') {
      out.push_back(static_cast<uint8_t>(text[i]));
      continue;
    }
    const std::string_view rest = text.substr(i);
    std::vector<uint8_t> byte;
    if (rest.starts_with("\\@") || rest.starts_with("\\\\")) {
      out.push_back(static_cast<uint8_t>(rest[1]));
      i++;
    } else if (rest.size() >= 4 && rest[1] == 'x' && parseHexBytes(rest.substr(2, 2), byte)) {
      out.push_back(byte[0]);
      i += 3;
    } else {
      return failuref("%s %.*s is no escape: \\@, \\\\ or \\xHH", kind,
                      static_cast<int>(std::min<size_t>(rest.size(), 4)), rest.data());
    }
  }
  return out;
}

Result<fieldKind> parseKind(std::string_view text) {
  fieldKind k;
  constexpr std::pair<std::string_view, unsigned> numbers[] = {{"u8", 1}, {"u16", 2}, {"u32", 4}, {"u64", 8}};
  for (const auto& [nameView, bytes] : numbers) {
    const std::string name(nameView);
    if (!text.starts_with(nameView) || text.substr(nameView.size(), 1) != ":") continue;
    const std::string_view value = text.substr(name.size() + 1);
    const uint64_t most = bytes == 8 ? UINT64_MAX : (uint64_t{1} << (8 * bytes)) - 1;
    switch (readNumber(std::string(value).c_str(), false, k.number, most)) {
      case numberRead::ok: break;
      case numberRead::tooLarge:
        return failuref("%.*s does not fit %s", static_cast<int>(value.size()), value.data(), name.c_str());
      case numberRead::malformed:
        return failuref("%s: VALUE is a number, 0x hex or decimal, not \"%.*s\"", name.c_str(),
                        static_cast<int>(value.size()), value.data());
    }
    k.what = fieldKind::type::number;
    k.numberBytes = bytes;
    return k;
  }
  if (text.starts_with("bytes:")) {
    const std::string_view hex = text.substr(6);
    if (!parseHexBytes(hex, k.bytes)) {
      return failuref("bytes: HEX is pairs of hex digits, the first byte first, not \"%.*s\"",
                      static_cast<int>(hex.size()), hex.data());
    }
    k.what = fieldKind::type::bytes;
    return k;
  }
  if (text.starts_with("string:")) {
    Result<std::vector<uint8_t>> bytes = unescape(text.substr(7), "string:");
    if (!bytes) return bytes.error();
    k.what = fieldKind::type::bytes;
    k.bytes = std::move(*bytes);
    return k;
  }
  if (text.starts_with("file:")) {
    Result<std::vector<uint8_t>> path = unescape(text.substr(5), "file:");
    if (!path) return path.error();
    if (path->empty()) return failuref("file: PATH names no file");
    k.what = fieldKind::type::file;
    k.path.assign(path->begin(), path->end());
    return k;
  }
  if (text.starts_with("sign:")) {
    // ALG, then key= and der= here or among the items after WHERE; whole
    // once they are all read.
    const size_t comma = text.find(',');
    const std::string_view alg = text.substr(5, comma == std::string_view::npos ? comma : comma - 5);
    if (alg == "ed25519") k.signature.what = signatureKind::type::ed25519;
    else if (alg == "ecdsa-p256") k.signature.what = signatureKind::type::ecdsaP256;
    else return failuref("sign: takes ed25519 or ecdsa-p256, not \"%.*s\"", static_cast<int>(alg.size()), alg.data());
    for (size_t next = comma; next != std::string_view::npos;) {
      const size_t end = text.find(',', next + 1);
      const std::string_view item = text.substr(next + 1, end == std::string_view::npos ? end : end - next - 1);
      next = end;
      Result<bool> took = takeSignatureItem(k.signature, item);
      if (!took) return took.error();
      if (!*took) return failuref("not key=FILE or der=yes|no: %.*s", static_cast<int>(item.size()), item.data());
    }
    k.what = fieldKind::type::signature;
    return k;
  }
  if (Result<digestKind> d = parseDigestKind(text); d) {
    k.what = fieldKind::type::digest;
    k.digest = *d;
    return k;
  }
  Result<checksumKind> sum = parseChecksumKind(text);
  if (!sum) {
    // A CRC of its own says what is wrong with it; anything else is no kind.
    if (text.starts_with("crc:")) return sum.error();
    return failuref("not a kind: %s, %s, %s, %s", std::string(checksumKindNames()).c_str(),
                    std::string(digestKindNames()).c_str(), std::string(signatureKindNames()).c_str(),
                    std::string(constantNames).c_str());
  }
  k.sum = *sum;
  return k;
}

// The kind as messages name it: its name, or the prefix of a kind that
// carries text.
std::string kindLabel(std::string_view kind) {
  for (const char* prefix : {"bytes:", "string:", "file:"}) {
    if (kind.starts_with(prefix)) return prefix;
  }
  return std::string(kind.substr(0, kind.find(',')));
}

}  // namespace

std::string_view constantKindNames() { return constantNames; }

uint64_t fieldKind::width() const {
  switch (what) {
    case type::checksum: return sum.width();
    case type::digest: return digest.width();
    case type::signature: return signature.width();
    case type::number: return numberBytes;
    case type::bytes:
    case type::file: return bytes.size();
  }
  return 0;
}

bool insertField::usesSymbols() const {
  if (!where.symbol.empty()) return true;
  for (const insertRange& r : over) {
    if (!r.from.symbol.empty() || !r.to.symbol.empty()) return true;
  }
  return signsField && !of.symbol.empty();
}

Result<insertField> parseInsert(const char* text) {
  insertField f;
  f.text = text;
  auto bad = [&](std::string_view why) {
    return errorf(ErrorKind::bad_argument, "--insert", "--insert=%s: %.*s\n", text, static_cast<int>(why.size()),
                  why.data());
  };
  const std::string_view all(text);
  const size_t at = kindEnd(all);
  if (at == std::string_view::npos) return bad(usage);
  const std::string_view kindText = all.substr(0, at);
  Result<fieldKind> kind = parseKind(kindText);
  if (!kind) return bad(kind.error().message);
  f.kind = std::move(*kind);
  const bool isString = kindText.starts_with("string:");
  const std::string label = kindLabel(kindText);
  const fieldKind::type what = f.kind.what;

  const size_t comma = all.find(',', at);
  const std::string_view whereText = all.substr(at + 1, comma == std::string_view::npos ? comma : comma - at - 1);
  std::string number;
  switch (parseWhere(whereText, f.where, number)) {
    case numberRead::ok: break;
    case numberRead::tooLarge: return bad(number + " is too large");
    case numberRead::malformed:
      if (escaped(kindText) && whereText.find('@') != std::string_view::npos) {
        return bad(std::string("WHERE is an address or sym:NAME[+N] (an @ in ") + (isString ? "TEXT" : "PATH") +
                   " is written \\@)");
      }
      return bad("WHERE is an address or sym:NAME[+N]");
  }

  std::string seen;  // the keys given, each followed by '='
  bool nul = false;
  for (size_t next = comma; next != std::string_view::npos;) {
    const size_t end = all.find(',', next + 1);
    const std::string_view item = all.substr(next + 1, end == std::string_view::npos ? end : end - next - 1);
    next = end;
    if (item.empty()) return bad("an item is empty: two commas in a row, or one at the end");
    const size_t eq = item.find('=');
    // A flag's bare name says yes.
    const std::string_view key = item.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view("yes") : item.substr(eq + 1);
    const std::string keyEq = std::string(key) + "=";
    if (key == "key" || key == "der") {
      if (what != fieldKind::type::signature) return bad(keyEq + " is for sign: only");
      Result<bool> took = takeSignatureItem(f.kind.signature, item == "der" ? std::string_view("der=yes") : item);
      if (!took) return bad(took.error().message);
      if (!*took) return bad(keyEq + " needs a value");
      continue;
    }
    if (key != "over" && key != "order" && key != "self" && key != "unit" && key != "nul" && key != "of") {
      return bad("not an item of --insert: " + std::string(item) +
                 " (over=, order=, self=, unit=, nul=, of=, key=, der=)");
    }
    if (seen.find("," + keyEq) != std::string::npos) return bad(keyEq + " is given twice");
    seen += "," + keyEq;
    if (eq == std::string_view::npos && key != "nul") return bad(keyEq + " needs a value");
    auto oneOf = [&](const char* values) { return bad(keyEq + " is " + values + ", not " + std::string(value)); };
    if (key == "over") {
      if (!f.kind.computed()) return bad("over= is for computed values, not a constant");
      switch (parseRanges(value, f.over, number)) {
        case numberRead::ok: break;
        case numberRead::tooLarge: return bad(number + " is too large");
        case numberRead::malformed: return bad(overForm);
      }
    } else if (key == "order") {
      if (value != "little" && value != "big") return oneOf("little or big");
      if (what != fieldKind::type::number && what != fieldKind::type::checksum) {
        return bad("order= is for numbers, CRCs, sums and lengths, not " + label);
      }
      f.order = value == "little" ? ELFDATA2LSB : ELFDATA2MSB;
    } else if (key == "self") {
      if (value != "skip" && value != "zero") return oneOf("skip or zero");
      if (!f.kind.computed()) return bad("self= is for computed values, not a constant");
      f.self = value == "zero" ? selfBytes::zero : selfBytes::skip;
    } else if (key == "unit") {
      if (value != "8" && value != "16" && value != "32") return oneOf("8, 16 or 32");
      if (what != fieldKind::type::checksum || f.kind.sum.what != checksumKind::type::crc) {
        return bad("unit= is for CRCs only, not " + label);
      }
      f.unitBytes = static_cast<unsigned>(std::stoul(std::string(value))) / 8;
    } else if (key == "of") {
      if (what != fieldKind::type::signature) return bad("of= is for sign: only");
      switch (parseWhere(value, f.of, number)) {
        case numberRead::ok: break;
        case numberRead::tooLarge: return bad(number + " is too large");
        case numberRead::malformed: return bad("of= is the address of a digest field or sym:NAME[+N]");
      }
      f.signsField = true;
    } else {
      if (value != "yes" && value != "no") return oneOf("yes or no");
      if (!isString) return bad("nul= is for string: only");
      nul = value == "yes";
    }
  }
  if (what == fieldKind::type::signature) {
    if (status whole = checkSignatureKind(f.kind.signature); !whole) return bad(whole.error().message);
    // A signature of a digest field covers no range of its own.
    if (f.signsField && (!f.over.empty() || seen.find(",self=") != std::string::npos)) {
      return bad("of= signs a digest field; over= and self= are for a signature of ranges");
    }
  }
  if (nul) f.kind.bytes.push_back(0);
  if (what == fieldKind::type::bytes && f.kind.bytes.empty()) {
    return bad("string: TEXT is empty and writes no byte (nul=yes writes its NUL)");
  }
  return f;
}

std::vector<uint8_t> constantBytes(const fieldKind& k, bool little) {
  if (k.what == fieldKind::type::bytes) return k.bytes;
  std::vector<uint8_t> bytes(k.numberBytes);
  for (unsigned i = 0; i < k.numberBytes; i++) {
    bytes[little ? i : k.numberBytes - 1 - i] = static_cast<uint8_t>(k.number >> (8 * i));
  }
  return bytes;
}

}  // namespace romwright
