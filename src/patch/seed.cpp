#include "patch/seed.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "patch/columns.hpp"

namespace romwright {

namespace {

// splitmix64's output function: a bijection on 64 bits that mixes well.
uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// splitmix64: small, fast, and the same sequence everywhere.
struct prng {
  uint64_t state;
  uint64_t next() { return mix64(state += 0x9e3779b97f4a7c15ull); }
  uint64_t below(uint64_t n) { return next() % n; }  // n is small: the bias is negligible
};

// The generator's starting state, from exactly the four values of a
// request: FNV-1a of the name's bytes, then each number mixed in.
uint64_t requestKey(std::string_view name, uint32_t width, uint64_t depth, uint64_t seed) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (char c : name) {
    h ^= static_cast<uint8_t>(c);
    h *= 0x100000001b3ull;
  }
  for (uint64_t v : {uint64_t{width}, depth, seed}) h = mix64(h ^ mix64(v + 0x9e3779b97f4a7c15ull));
  return h;
}

// A keyed bijection on the values of `width` bits: adding a constant,
// xor with the value shifted right, and multiplying by an odd constant are
// each invertible modulo 2^width. Counting through it gives distinct
// pseudo-random words without remembering which were drawn.
struct permutation {
  uint64_t mask;
  unsigned s1, s2;
  uint64_t add[2], mul[2];

  permutation(uint32_t width, prng& r)
      : mask(widthMask(width)), s1((width + 1) / 2), s2(std::max(1u, width / 3)) {
    for (int i = 0; i < 2; ++i) {
      add[i] = r.next();
      mul[i] = r.next() | 1;
    }
  }

  uint64_t operator()(uint64_t x) const {
    for (int i = 0; i < 2; ++i) {
      x = (x + add[i]) & mask;
      x ^= x >> s1;
      x = (x * mul[i]) & mask;
      x ^= x >> s2;
    }
    return x;
  }
};

// A bound on the mending rounds and redraws below, which every request that
// passes the checks needs only a few of (the tests try every width with
// every depth up to a few hundred); a library must not spin forever.
constexpr int maxTries = 1 << 20;

bool trivial(uint64_t v, uint64_t mask) { return v == 0 || v == mask; }

// What breaks the column rules: a constant column `a`, or columns `a` and
// `b` equal or complementary.
struct columnFault {
  enum kind { none, constant, equal, complement } what = none;
  uint32_t a = 0, b = 0;
};

// The first column fault of `words`, if any. Each column is compared in its
// canonical orientation (word 0's bit cleared), so that a column and its
// complement look the same; hashes sort the columns and only columns with
// equal hashes are compared bit by bit.
columnFault findColumnFault(std::span<const uint64_t> words, uint32_t width) {
  const bitColumns cols = toColumns(words, width);
  const size_t n = cols.stride;
  const uint64_t tail = words.size() % 64 == 0 ? ~uint64_t{0} : (uint64_t{1} << (words.size() % 64)) - 1;
  auto flipOf = [&](uint32_t b) { return (cols.at(b)[0] & 1) != 0 ? ~uint64_t{0} : 0; };
  auto word = [&](uint32_t b, size_t k) {
    const uint64_t v = cols.at(b)[k] ^ flipOf(b);
    return k + 1 == n ? v & tail : v;
  };
  std::vector<std::pair<uint64_t, uint32_t>> hashes;
  hashes.reserve(width);
  for (uint32_t b = 0; b < width; ++b) {
    uint64_t h = 0;
    bool zero = true;
    for (size_t k = 0; k < n; ++k) {
      const uint64_t v = word(b, k);
      zero = zero && v == 0;
      h = (h ^ v) * 0x9e3779b97f4a7c15ull;
      h ^= h >> 29;
    }
    if (zero) return {columnFault::constant, b, b};
    hashes.emplace_back(h, b);
  }
  std::sort(hashes.begin(), hashes.end());
  for (size_t i = 1; i < hashes.size(); ++i) {
    if (hashes[i].first != hashes[i - 1].first) continue;
    const uint32_t a = hashes[i - 1].second, b = hashes[i].second;
    bool same = true;
    for (size_t k = 0; k < n && same; ++k) same = word(a, k) == word(b, k);
    if (same) return {flipOf(a) == flipOf(b) ? columnFault::equal : columnFault::complement, a, b};
  }
  return {};
}

// Whether `v` mends `f`: it differs from the constant column's value, or
// has different (equal columns) or equal (complementary columns) bits in
// the two columns.
bool mends(uint64_t v, const columnFault& f, std::span<const uint64_t> words) {
  const bool a = (v >> f.a & 1) != 0, b = (v >> f.b & 1) != 0;
  switch (f.what) {
    case columnFault::constant: return a != ((words[0] >> f.a & 1) != 0);
    case columnFault::equal: return a != b;
    case columnFault::complement: return a == b;
    case columnFault::none: break;
  }
  return true;
}

// Many words: distinct non-trivial words from the permutation, then
// column faults (rare but for small depths) mended by replacing a word with
// a fresh one that breaks the fault. A fault always leaves such words
// unused (every word in use has the faulty pattern), and a replacement
// keeps the words distinct.
bool wordsFirst(std::vector<uint64_t>& words, uint32_t width, uint64_t depth, prng& r) {
  const uint64_t mask = widthMask(width);
  const permutation perm(width, r);
  words.resize(depth);
  uint64_t x = 0;
  for (auto& w : words) {
    do w = perm(x++);
    while (trivial(w, mask));
  }
  std::unordered_set<uint64_t> used;
  for (int tries = 0; tries < maxTries; ++tries) {
    const columnFault f = findColumnFault(words, width);
    if (f.what == columnFault::none) return true;
    if (used.empty()) used.insert(words.begin(), words.end());
    uint64_t v;
    do v = r.next() & mask;
    while (trivial(v, mask) || !mends(v, f, words) || used.count(v) != 0);
    uint64_t& w = words[r.below(depth)];
    used.erase(w);
    used.insert(v);
    w = v;
  }
  return false;
}

// More words than values that are neither all 0s nor all 1s: each round
// of those values, in an order of its own, holds every value once, so that
// no value appears more than once a round. A complete round already
// makes the columns differ: for any two bits some value has them equal and
// another different, and for width >= 3 neither is all 0s or all 1s.
std::vector<uint64_t> everyValueInTurn(uint32_t width, uint64_t depth, prng& r) {
  const uint64_t mask = widthMask(width);
  std::vector<uint64_t> words;
  words.reserve(depth);
  while (words.size() < depth) {
    const permutation perm(width, r);
    for (uint64_t x = 0; x <= mask && words.size() < depth; ++x) {
      const uint64_t w = perm(x);
      if (!trivial(w, mask)) words.push_back(w);
    }
  }
  return words;
}

// Few words (up to 8), where the columns are what is scarce: each column
// is one of the 2^(depth-1) - 1 non-constant patterns of `depth` bits with
// the last word's bit clear, none used twice, each then complemented or
// not at random. Such columns never clash; draws are repeated until the
// words they make are distinct and none is all 0s or all 1s.
bool columnsFirst(std::vector<uint64_t>& words, uint32_t width, uint64_t depth, prng& r) {
  const uint64_t patterns = (uint64_t{1} << (depth - 1)) - 1;
  const uint64_t mask = widthMask(width), depthMask = (uint64_t{1} << depth) - 1;
  std::vector<uint64_t> cols(width);
  words.resize(depth);
  for (int tries = 0; tries < maxTries; ++tries) {
    for (uint32_t b = 0; b < width; ++b) {
      uint64_t c;
      do c = 1 + r.below(patterns);
      while (std::find(cols.begin(), cols.begin() + b, c) != cols.begin() + b);
      cols[b] = c;
    }
    for (uint32_t b = 0; b < width; ++b) {
      if ((r.next() & 1) != 0) cols[b] ^= depthMask;
    }
    std::fill(words.begin(), words.end(), 0);
    for (uint32_t b = 0; b < width; ++b) {
      for (uint64_t i = 0; i < depth; ++i) words[i] |= (cols[b] >> i & 1) << b;
    }
    bool ok = true;
    for (uint64_t i = 0; i < depth && ok; ++i) {
      ok = !trivial(words[i], mask);
      for (uint64_t j = 0; j < i && ok; ++j) ok = words[i] != words[j];
    }
    if (ok) return true;
  }
  return false;
}

}  // namespace

status checkSeedShape(uint32_t width, uint64_t depth) {
  if (width < 1 || width > 64) return failuref("placeholder words are 3 to 64 bits wide, not %u\n", width);
  if (width < 3) {
    return failuref("placeholder words of %u bit%s cannot be told apart: %s\n", width, width == 1 ? "" : "s",
                    width == 1 ? "every 1-bit word is all 0s or all 1s"
                               : "the only 2-bit words that are neither all 0s nor all 1s, 01 and 10, "
                                 "have complementary bits");
  }
  if (depth > maxSeedDepth) {
    return failuref("a placeholder of %llu words is too large (at most %llu)\n",
                    static_cast<unsigned long long>(depth), static_cast<unsigned long long>(maxSeedDepth));
  }
  if (depth < 3) {
    return failuref("a placeholder of %llu word%s cannot be told apart: its bit columns are constant or "
                    "complements of each other (at least 3 words are needed)\n",
                    static_cast<unsigned long long>(depth), depth == 1 ? "" : "s");
  }
  if (depth < 8 && width > (uint64_t{1} << (depth - 1)) - 1) {
    return failuref("%llu placeholder words are too few for %u-bit words: they give only %llu bit columns "
                    "that differ from each other and from each other's complements\n",
                    static_cast<unsigned long long>(depth), width,
                    static_cast<unsigned long long>((uint64_t{1} << (depth - 1)) - 1));
  }
  return done;
}

Result<std::vector<uint64_t>> seedWords(std::string_view name, uint32_t width, uint64_t depth,
                                        uint64_t seed) {
  if (status s = checkSeedShape(width, depth); !s) return s.error();
  prng r{requestKey(name, width, depth, seed)};
  std::vector<uint64_t> words;
  if (depth > seedValues(width)) {
    words = everyValueInTurn(width, depth, r);
    // Holds by construction; checked all the same.
    if (findColumnFault(words, width).what == columnFault::none) return words;
  } else if (depth <= 8 ? columnsFirst(words, width, depth, r) : wordsFirst(words, width, depth, r)) {
    return words;
  }
  return failuref("no placeholder of %llu words of %u bits found for this name and seed; try another seed\n",
                  static_cast<unsigned long long>(depth), width);
}

std::string seedText(std::span<const uint64_t> words, uint32_t width) {
  static const char digits[] = "0123456789abcdef";
  const unsigned n = (width + 3) / 4;
  std::string text(words.size() * (n + 1), '\n');
  char* p = text.data();
  for (uint64_t w : words) {
    for (unsigned i = n; i-- > 0;) *p++ = digits[(w >> (4 * i)) & 15];
    ++p;
  }
  return text;
}

}  // namespace romwright
