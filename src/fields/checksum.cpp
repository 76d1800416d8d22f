// Integrity values over memory. CRCs fold long blocks with carry-less
// multiplication where the processor has it, and otherwise run on tables of
// 8 or 16 slices (a register of 32 bits for widths up to 32, of 64 bits
// above); CRC32C runs on the processor's own instruction. A run of one repeated
// byte is folded in with powers of the one-byte step, so that a long gap of
// fill costs a few thousand word operations rather than a pass over it.
#include "fields/checksum.hpp"

#include <array>
#include <cstdint>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>

#include "core/numbers.hpp"

namespace romwright {
#endif

namespace {

uint64_t lowMask(unsigned bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// The low `bits` bits of `v` in reverse order.
uint64_t reflect(uint64_t v, unsigned bits) {
  uint64_t r = 0;
  for (unsigned i = 0; i < bits; ++i, v >>= 1) r = (r << 1) | (v & 1);
  return r;
}

uint64_t load64le(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

uint64_t load64be(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

struct preset {
  const char* name;
  unsigned bits;
  uint64_t poly;
  uint64_t init;
  bool refin;
  bool refout;
  uint64_t xorout;
};

// Parameters as the CRC catalogues give them.
constexpr preset presets[] = {
    {"crc32", 32, 0x04C11DB7, 0xFFFFFFFF, true, true, 0xFFFFFFFF},
    {"crc32c", 32, 0x1EDC6F41, 0xFFFFFFFF, true, true, 0xFFFFFFFF},
    {"crc32-mpeg2", 32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0},
    {"crc32-bzip2", 32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0xFFFFFFFF},
    // The POSIX cksum CRC without the length cksum appends to the data.
    {"crc32-posix", 32, 0x04C11DB7, 0, false, false, 0xFFFFFFFF},
    {"crc16-ccitt-false", 16, 0x1021, 0xFFFF, false, false, 0},
    {"crc16-xmodem", 16, 0x1021, 0, false, false, 0},
    {"crc16-kermit", 16, 0x1021, 0, true, true, 0},
    // The CCITT CRC with 0xFFFF augmented by 16 zero bits, started directly
    // from the register that leaves.
    {"crc16-aug-ccitt", 16, 0x1021, 0x1D0F, false, false, 0},
    {"crc16-modbus", 16, 0x8005, 0xFFFF, true, true, 0},
    {"crc16-arc", 16, 0x8005, 0, true, true, 0},
    {"crc8", 8, 0x07, 0, false, false, 0},
    {"crc64-xz", 64, 0x42F0E1EBA9EA3693, ~uint64_t{0}, true, true, ~uint64_t{0}},
};

constexpr std::string_view kindNames =
    "crc32, crc32c, crc32-mpeg2, crc32-bzip2, crc32-posix, crc16-ccitt-false, crc16-xmodem, "
    "crc16-kermit, crc16-aug-ccitt, crc16-modbus, crc16-arc, crc8, crc64-xz, "
    "crc:WIDTH:POLY:INIT:REFIN:REFOUT:XOROUT, sum8, ~sum8, -sum8, sum16, ~sum16, -sum16, "
    "sum32, ~sum32, -sum32, length16, length32";

std::string quoted(std::string_view s) {
  std::string q(1, '"');
  q.append(s);
  q.push_back('"');
  return q;
}

// A number in decimal or, after 0x, in hex, of up to 64 bits.
numberRead readNumber64(std::string_view s, uint64_t& out) {
  return readNumber(std::string(s).c_str(), false, out, UINT64_MAX);
}

Result<checksumKind> parseCustomCrc(std::string_view spec) {
  std::vector<std::string_view> fields;
  for (size_t start = 0;;) {
    const size_t colon = spec.find(':', start);
    fields.push_back(spec.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (fields.size() != 6)
    return failuref("a CRC of its own is crc:WIDTH:POLY:INIT:REFIN:REFOUT:XOROUT, 6 fields, not %zu",
                    fields.size());
  checksumKind k;
  k.what = checksumKind::type::crc;
  uint64_t width = 0;
  if (readNumber64(fields[0], width) != numberRead::ok || width < 8 || width > 64)
    return failuref("CRC width is 8 to 64, not %s", quoted(fields[0]).c_str());
  k.bits = static_cast<unsigned>(width);
  const char* names[] = {"poly", "init", "xorout"};
  const std::string_view texts[] = {fields[1], fields[2], fields[5]};
  uint64_t* values[] = {&k.poly, &k.init, &k.xorout};
  for (size_t i = 0; i < 3; ++i) {
    const numberRead read = readNumber64(texts[i], *values[i]);
    if (read == numberRead::malformed)
      return failuref("CRC %s is a number (decimal or 0x hex), not %s", names[i],
                      quoted(texts[i]).c_str());
    if (read == numberRead::tooLarge)
      return failuref("CRC %s %s is too large", names[i], quoted(texts[i]).c_str());
    if ((*values[i] & ~lowMask(k.bits)) != 0)
      return failuref("CRC %s %s does not fit %u bits", names[i], quoted(texts[i]).c_str(), k.bits);
  }
  if (k.poly == 0) return failuref("CRC poly must not be 0");
  const char* flagNames[] = {"refin", "refout"};
  bool* flags[] = {&k.refin, &k.refout};
  for (size_t i = 0; i < 2; ++i) {
    const std::string_view f = fields[3 + i];
    if (f == "true" || f == "1") *flags[i] = true;
    else if (f == "false" || f == "0") *flags[i] = false;
    else return failuref("CRC %s is true or false, not %s", flagNames[i], quoted(f).c_str());
  }
  return k;
}

}  // namespace

std::string_view checksumKindNames() { return kindNames; }

Result<checksumKind> parseChecksumKind(std::string_view text) {
  if (text.starts_with("crc:")) return parseCustomCrc(text.substr(4));
  for (const preset& p : presets) {
    if (text != p.name) continue;
    checksumKind k;
    k.what = checksumKind::type::crc;
    k.bits = p.bits;
    k.poly = p.poly;
    k.init = p.init;
    k.refin = p.refin;
    k.refout = p.refout;
    k.xorout = p.xorout;
    return k;
  }
  checksumKind k;
  std::string_view rest = text;
  if (rest.starts_with("~")) k.comp = checksumKind::complement::ones;
  else if (rest.starts_with("-")) k.comp = checksumKind::complement::twos;
  if (k.comp != checksumKind::complement::none) rest.remove_prefix(1);
  for (unsigned bits : {8u, 16u, 32u}) {
    if (rest == "sum" + std::to_string(bits)) {
      k.what = checksumKind::type::sum;
      k.bits = bits;
      return k;
    }
    if (bits != 8 && k.comp == checksumKind::complement::none &&
        rest == "length" + std::to_string(bits)) {
      k.what = checksumKind::type::length;
      k.bits = bits;
      return k;
    }
  }
  return failuref("not a kind: %.*s", static_cast<int>(kindNames.size()), kindNames.data());
}

// ---- CRC engines --------------------------------------------------------------

namespace detail {

// Runs the register of one CRC. The register is held as the engine keeps
// it: for a reflected CRC the reflected register in the low `width` bits,
// otherwise the register at the top of 32 or 64 bits.
struct crcEngine {
  virtual ~crcEngine() = default;
  virtual uint64_t feed(uint64_t reg, const uint8_t* p, size_t n) const = 0;
  virtual uint64_t step(uint64_t reg, uint8_t byte) const = 0;
  unsigned regBits = 32;
};

}  // namespace detail

namespace {

#if defined(__x86_64__)
// ---- Folding with carry-less multiplication ------------------------------------
//
// The register a message leaves depends only on the message polynomial
// modulo P (with the register's start XORed into its first bits). A 128-bit
// chunk A that lies D bits before a chunk C can therefore be replaced by
// A_hi * (x^(D+64) mod P) + A_lo * (x^D mod P), two products of at most
// 64 + 64 bits, added to C. Four chunks 64 bytes apart are folded side by
// side, then into one, and the last 16 bytes that remain give the register
// through the tables. For a reflected CRC the chunks are held bit-reversed,
// as they load from memory, and a product of reflected values comes out
// multiplied by x once more, which the constants take off beforehand.

// x^n mod P, where P is x^width plus `poly`.
uint64_t xPowMod(unsigned n, uint64_t poly, unsigned width) {
  const uint64_t mask = lowMask(width);
  uint64_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    const bool carry = (r >> (width - 1)) & 1;
    r = (r << 1) & mask;
    if (carry) r ^= poly;
  }
  return r;
}

struct foldConstants {
  bool reflected = false;
  // For 512 and 128 bits: {low lane, high lane} of the multiplier.
  uint64_t k512[2] = {};
  uint64_t k128[2] = {};

  foldConstants(bool refl, uint64_t poly, unsigned width) : reflected(refl) {
    for (auto [d, k] : {std::pair{512u, k512}, std::pair{128u, k128}}) {
      if (refl) {
        // The low lane holds the reflected A_hi, the high lane A_lo.
        k[0] = reflect(xPowMod(d + 63, poly, width), 64);
        k[1] = reflect(xPowMod(d - 1, poly, width), 64);
      } else {
        k[0] = xPowMod(d, poly, width);
        k[1] = xPowMod(d + 64, poly, width);
      }
    }
  }
};

__attribute__((target("pclmul,ssse3"))) inline __m128i foldChunk(__m128i a, __m128i k, __m128i c) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), c);
}

// 16 bytes as a chunk: as loaded for a reflected CRC, the first byte at the
// top otherwise.
__attribute__((target("pclmul,ssse3"))) inline __m128i loadChunk(const uint8_t* q, bool refl,
                                                                 __m128i reverse) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  return refl ? v : _mm_shuffle_epi8(v, reverse);
}

// Folds `blocks` 16-byte blocks at `p` (at least 4), with `reg` XORed into
// their first bits (`regTop` says where a non-reflected register's top bit
// is), into 16 bytes in message order whose register from zero is the one
// the blocks leave from `reg`.
__attribute__((target("pclmul,ssse3"))) void foldBlocks(const foldConstants& f, uint64_t reg,
                                                     unsigned regBits, const uint8_t* p, size_t blocks,
                                                     uint8_t out[16]) {
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const bool refl = f.reflected;
  const __m128i k512 = _mm_set_epi64x(static_cast<int64_t>(f.k512[1]), static_cast<int64_t>(f.k512[0]));
  const __m128i k128 = _mm_set_epi64x(static_cast<int64_t>(f.k128[1]), static_cast<int64_t>(f.k128[0]));
  __m128i x0 = loadChunk(p, refl, reverse);
  __m128i x1 = loadChunk(p + 16, refl, reverse);
  __m128i x2 = loadChunk(p + 32, refl, reverse);
  __m128i x3 = loadChunk(p + 48, refl, reverse);
  if (refl) x0 = _mm_xor_si128(x0, _mm_cvtsi64_si128(static_cast<int64_t>(reg)));
  else x0 = _mm_xor_si128(x0, _mm_set_epi64x(static_cast<int64_t>(reg << (64 - regBits)), 0));
  p += 64;
  blocks -= 4;
  for (; blocks >= 4; blocks -= 4, p += 64) {
    x0 = foldChunk(x0, k512, loadChunk(p, refl, reverse));
    x1 = foldChunk(x1, k512, loadChunk(p + 16, refl, reverse));
    x2 = foldChunk(x2, k512, loadChunk(p + 32, refl, reverse));
    x3 = foldChunk(x3, k512, loadChunk(p + 48, refl, reverse));
  }
  __m128i x = foldChunk(foldChunk(foldChunk(x0, k128, x1), k128, x2), k128, x3);
  for (; blocks > 0; --blocks, p += 16) x = foldChunk(x, k128, loadChunk(p, refl, reverse));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), refl ? x : _mm_shuffle_epi8(x, reverse));
}

// The processor's feature bits of CPUID leaf 1, register ECX, asked the
// first time a CRC needs them. The compiler's own feature check would probe
// the processor at every start of the tool, where CPUID costs tens of
// microseconds under a hypervisor, for runs that compute no CRC at all.
unsigned featuresEcx() {
  static const unsigned ecx = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) ? c : 0u;
  }();
  return ecx;
}

bool haveClmul() {
  return (featuresEcx() & bit_PCLMUL) != 0 && (featuresEcx() & bit_SSSE3) != 0;
}
#endif

// Tables for `Slices` bytes at a time: slice j maps a byte to the register
// it leaves after it and j zero bytes. A block of bytes, XORed with the
// register, is then the XOR of one look-up per byte.
template <class Reg, bool Reflected, int Slices>
struct tableEngine : detail::crcEngine {
  static constexpr unsigned kBits = sizeof(Reg) * 8;
  Reg t[Slices][256];
#if defined(__x86_64__)
  std::optional<foldConstants> fold;
#endif

  tableEngine(unsigned width, uint64_t poly) {
    regBits = kBits;
#if defined(__x86_64__)
    if (haveClmul()) fold.emplace(Reflected, poly, width);
#endif
    if constexpr (Reflected) {
      const Reg rpoly = static_cast<Reg>(reflect(poly, width));
      for (unsigned b = 0; b < 256; ++b) {
        Reg r = static_cast<Reg>(b);
        for (int i = 0; i < 8; ++i)
          r = (r & 1) ? static_cast<Reg>((r >> 1) ^ rpoly) : static_cast<Reg>(r >> 1);
        t[0][b] = r;
      }
    } else {
      const Reg top = static_cast<Reg>(poly << (kBits - width));
      const Reg high = static_cast<Reg>(Reg{1} << (kBits - 1));
      for (unsigned b = 0; b < 256; ++b) {
        Reg r = static_cast<Reg>(Reg(b) << (kBits - 8));
        for (int i = 0; i < 8; ++i)
          r = (r & high) ? static_cast<Reg>(static_cast<Reg>(r << 1) ^ top) : static_cast<Reg>(r << 1);
        t[0][b] = r;
      }
    }
    for (int j = 1; j < Slices; ++j)
      for (unsigned b = 0; b < 256; ++b) t[j][b] = static_cast<Reg>(step(t[j - 1][b], 0));
  }

  uint64_t step(uint64_t reg, uint8_t byte) const final {
    const Reg r = static_cast<Reg>(reg);
    if constexpr (Reflected) return static_cast<Reg>((r >> 8) ^ t[0][(r ^ byte) & 0xFF]);
    else return static_cast<Reg>(static_cast<Reg>(r << 8) ^ t[0][((r >> (kBits - 8)) ^ byte) & 0xFF]);
  }

  // The look-ups of 8 bytes in `x`, the first at the low end (reflected) or
  // the high end; the first byte takes slice `first`, the next first - 1.
  Reg lookup8(uint64_t x, int first) const {
    Reg r = 0;
    for (int k = 0; k < 8; ++k) {
      const unsigned byte = Reflected ? static_cast<unsigned>((x >> (8 * k)) & 0xFF)
                                      : static_cast<unsigned>((x >> (56 - 8 * k)) & 0xFF);
      r ^= t[first - k][byte];
    }
    return r;
  }

  uint64_t feed(uint64_t reg, const uint8_t* p, size_t n) const override {
#if defined(__x86_64__)
    // Folding pays once the blocks outnumber its set-up.
    if (fold && n >= 256) {
      uint8_t folded[16];
      foldBlocks(*fold, reg, kBits, p, n / 16, folded);
      const size_t done = n / 16 * 16;
      return feedTables(feedTables(0, folded, 16), p + done, n - done);
    }
#endif
    return feedTables(reg, p, n);
  }

  uint64_t feedTables(uint64_t reg, const uint8_t* p, size_t n) const {
    Reg r = static_cast<Reg>(reg);
    while (n >= static_cast<size_t>(Slices)) {
      uint64_t x = Reflected ? load64le(p) : load64be(p);
      x ^= Reflected ? uint64_t{r} : uint64_t{r} << (64 - kBits);
      if constexpr (Slices == 16) {
        const uint64_t next = Reflected ? load64le(p + 8) : load64be(p + 8);
        r = static_cast<Reg>(lookup8(x, 15) ^ lookup8(next, 7));
      } else {
        r = lookup8(x, 7);
      }
      p += Slices;
      n -= Slices;
    }
    for (; n > 0; --n) r = static_cast<Reg>(step(r, *p++));
    return r;
  }
};

// A map x -> Ax ^ c over GF(2)^64: column i is the image of bit i.
struct affine {
  std::array<uint64_t, 64> col{};
  uint64_t c = 0;

  uint64_t linear(uint64_t x) const {
    uint64_t y = 0;
    for (; x != 0; x &= x - 1) y ^= col[static_cast<size_t>(std::countr_zero(x))];
    return y;
  }
  // This map after `g`.
  affine after(const affine& g) const {
    affine h;
    for (size_t i = 0; i < 64; ++i) h.col[i] = linear(g.col[i]);
    h.c = linear(g.c) ^ c;
    return h;
  }
};

// The map from a register to the one `count` copies of `byte` leave: the
// one-byte step is affine in the register, so its count-th power is found
// by repeated squaring.
affine repeatMap(const detail::crcEngine& e, uint8_t byte, uint64_t count) {
  affine base;
  base.c = e.step(0, byte);
  for (unsigned i = 0; i < 64; ++i) base.col[i] = e.step(uint64_t{1} << i, byte) ^ base.c;
  affine power;  // identity
  for (unsigned i = 0; i < 64; ++i) power.col[i] = uint64_t{1} << i;
  for (;;) {
    if (count & 1) power = base.after(power);
    count >>= 1;
    if (count == 0) break;
    base = base.after(base);
  }
  return power;
}

uint64_t repeatCrc(const detail::crcEngine& e, uint64_t reg, uint8_t byte, uint64_t count) {
  const affine power = repeatMap(e, byte, count);
  return power.linear(reg) ^ power.c;
}

#if defined(__x86_64__)
// CRC32C by the SSE4.2 instruction, which runs the reflected register of
// that polynomial 8 bytes at a time. One chain of instructions waits on
// each result, so three lanes of a block run side by side, from the
// register and from zero, and are joined by moving each lane's register
// over the zero bytes of the next lane's length (a linear map).
constexpr size_t crc32cLane = 4096;

__attribute__((target("sse4.2"))) uint32_t crc32cInstruction(uint32_t reg, const uint8_t* p, size_t n,
                                                            const uint32_t* shiftCols) {
  uint64_t r = reg;
  for (; n >= 3 * crc32cLane; n -= 3 * crc32cLane, p += 3 * crc32cLane) {
    uint64_t r1 = 0, r2 = 0;
    for (size_t i = 0; i < crc32cLane; i += 8) {
      uint64_t w0, w1, w2;
      memcpy(&w0, p + i, 8);
      memcpy(&w1, p + crc32cLane + i, 8);
      memcpy(&w2, p + 2 * crc32cLane + i, 8);
      r = _mm_crc32_u64(r, w0);
      r1 = _mm_crc32_u64(r1, w1);
      r2 = _mm_crc32_u64(r2, w2);
    }
    for (uint64_t* lane : {&r1, &r2}) {
      uint64_t moved = 0;
      for (uint64_t x = r; x != 0; x &= x - 1) moved ^= shiftCols[std::countr_zero(x)];
      r = moved ^ *lane;
    }
  }
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    r = _mm_crc32_u64(r, w);
  }
  uint32_t r32 = static_cast<uint32_t>(r);
  for (; n > 0; --n) r32 = _mm_crc32_u8(r32, *p++);
  return r32;
}

struct crc32cEngine final : tableEngine<uint32_t, true, 16> {
  uint32_t shiftCols[32];
  crc32cEngine() : tableEngine(32, 0x1EDC6F41) {
    const affine shift = repeatMap(*this, 0, crc32cLane);
    for (size_t i = 0; i < 32; ++i) shiftCols[i] = static_cast<uint32_t>(shift.col[i]);
  }
  uint64_t feed(uint64_t reg, const uint8_t* p, size_t n) const override {
    return crc32cInstruction(static_cast<uint32_t>(reg), p, n, shiftCols);
  }
};

bool haveCrc32cInstruction() { return (featuresEcx() & bit_SSE4_2) != 0; }
#endif

std::shared_ptr<const detail::crcEngine> makeEngine(const checksumKind& k) {
#if defined(__x86_64__)
  if (k.bits == 32 && k.poly == 0x1EDC6F41 && k.refin && haveCrc32cInstruction())
    return std::make_shared<crc32cEngine>();
#endif
  if (k.bits <= 32) {
    if (k.refin) return std::make_shared<tableEngine<uint32_t, true, 16>>(k.bits, k.poly);
    return std::make_shared<tableEngine<uint32_t, false, 16>>(k.bits, k.poly);
  }
  if (k.refin) return std::make_shared<tableEngine<uint64_t, true, 8>>(k.bits, k.poly);
  return std::make_shared<tableEngine<uint64_t, false, 8>>(k.bits, k.poly);
}

}  // namespace

// ---- checksum -----------------------------------------------------------------

checksum::checksum(const checksumKind& k, bool littleEndianMemory) : kind_(k), little_(littleEndianMemory) {
  if (k.what != checksumKind::type::crc) return;
  crc_ = makeEngine(k);
  if (k.refin) state_ = reflect(k.init, k.bits);
  else state_ = k.init << (crc_->regBits - k.bits);
}

void checksum::feed(std::span<const uint8_t> bytes) {
  switch (kind_.what) {
    case checksumKind::type::crc:
      state_ = crc_->feed(state_, bytes.data(), bytes.size());
      break;
    case checksumKind::type::sum:
      feedSum(bytes);
      break;
    case checksumKind::type::length:
      state_ = state_ + bytes.size() < state_ ? ~uint64_t{0} : state_ + bytes.size();
      break;
  }
}

void checksum::feedRepeated(uint8_t byte, uint64_t count) {
  switch (kind_.what) {
    case checksumKind::type::crc: {
      // Short runs go through the tables; the powers cost about as much as
      // 64 KiB of bytes.
      if (count > (64u << 10)) {
        state_ = repeatCrc(*crc_, state_, byte, count);
        return;
      }
      uint8_t block[4096];
      memset(block, byte, sizeof block);
      for (; count > 0;) {
        const size_t n = count < sizeof block ? static_cast<size_t>(count) : sizeof block;
        state_ = crc_->feed(state_, block, n);
        count -= n;
      }
      return;
    }
    case checksumKind::type::sum: {
      const unsigned unit = kind_.bits / 8;
      for (; count > 0 && partialLen_ > 0; --count) feedSum({&byte, 1});
      // Every whole unit of the run has the same value in either byte order.
      uint64_t unitValue = 0;
      for (unsigned i = 0; i < unit; ++i) unitValue = unitValue << 8 | byte;
      state_ += (count / unit) * unitValue;
      for (count %= unit; count > 0; --count) feedSum({&byte, 1});
      return;
    }
    case checksumKind::type::length:
      state_ = state_ + count < state_ ? ~uint64_t{0} : state_ + count;
      return;
  }
}

// A unit from its bytes in address order (byte i in bits 8i..8i+7 of
// `bytesInOrder`), read in the memory's byte order.
uint64_t checksum::unitOf(uint64_t bytesInOrder, unsigned n) const {
  if (little_) return bytesInOrder;
  uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v = v << 8 | ((bytesInOrder >> (8 * i)) & 0xFF);
  return v;
}

void checksum::feedSum(std::span<const uint8_t> bytes) {
  const unsigned unit = kind_.bits / 8;
  const uint8_t* p = bytes.data();
  size_t n = bytes.size();
  uint64_t sum = state_;
  if (unit == 1) {
    // Only the low 8 bits of a sum of bytes are kept, so bytes add up in a
    // byte, which the compiler turns into the widest vector adds.
    uint8_t part = 0;
    for (size_t i = 0; i < n; ++i) part = static_cast<uint8_t>(part + p[i]);
    state_ = sum + part;
    return;
  }
  for (; n > 0 && partialLen_ > 0; --n) {
    partial_ |= uint64_t{*p++} << (8 * partialLen_);
    if (++partialLen_ == unit) {
      sum += unitOf(partial_, unit);
      partial_ = 0;
      partialLen_ = 0;
    }
  }
  const bool swap = little_ != (std::endian::native == std::endian::little);
  if (unit == 2) {
    for (; n >= 2; n -= 2, p += 2) {
      uint16_t v;
      memcpy(&v, p, 2);
      sum += swap ? __builtin_bswap16(v) : v;
    }
  } else {
    for (; n >= 4; n -= 4, p += 4) {
      uint32_t v;
      memcpy(&v, p, 4);
      sum += swap ? __builtin_bswap32(v) : v;
    }
  }
  for (; n > 0; --n) partial_ |= uint64_t{*p++} << (8 * partialLen_++);
  state_ = sum;
}

uint64_t checksum::value() const {
  const uint64_t mask = lowMask(kind_.bits);
  switch (kind_.what) {
    case checksumKind::type::crc: {
      uint64_t v;
      if (kind_.refin) {
        v = kind_.refout ? state_ : reflect(state_, kind_.bits);
      } else {
        v = state_ >> (crc_->regBits - kind_.bits);
        if (kind_.refout) v = reflect(v, kind_.bits);
      }
      return (v ^ kind_.xorout) & mask;
    }
    case checksumKind::type::sum: {
      // A last unit that the bytes did not finish counts with zero bytes
      // in the places of the missing ones.
      uint64_t sum = state_ + (partialLen_ > 0 ? unitOf(partial_, kind_.bits / 8) : 0);
      if (kind_.comp == checksumKind::complement::ones) sum = ~sum;
      else if (kind_.comp == checksumKind::complement::twos) sum = 0 - sum;
      return sum & mask;
    }
    case checksumKind::type::length:
      return state_ & mask;
  }
  return 0;
}

bool checksum::overflowed() const {
  return kind_.what == checksumKind::type::length && state_ > lowMask(kind_.bits);
}

}  // namespace romwright
