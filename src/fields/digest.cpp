// Digests and signatures through OpenSSL's libcrypto (EVP). Every object
// the library hands out is held by a unique_ptr with its free function, so
// that no path leaks one. All of it runs in a library context of its own
// with the built-in default provider, so that no provider module is loaded
// and the machine's openssl.cnf changes nothing here. A program that links
// libcrypto from its static archive keeps that copy from reading openssl.cnf
// with keepCryptoConfigOut().
#include "fields/digest.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace romwright {

namespace {

template <auto Free>
struct freeWith {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};

using mdPtr = std::unique_ptr<EVP_MD, freeWith<EVP_MD_free>>;
using mdCtxPtr = std::unique_ptr<EVP_MD_CTX, freeWith<EVP_MD_CTX_free>>;
using pkeyPtr = std::unique_ptr<EVP_PKEY, freeWith<EVP_PKEY_free>>;
using pkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, freeWith<EVP_PKEY_CTX_free>>;
using bioPtr = std::unique_ptr<BIO, freeWith<BIO_free>>;
using ecdsaSigPtr = std::unique_ptr<ECDSA_SIG, freeWith<ECDSA_SIG_free>>;

// The library context every call here uses, made on first use and freed
// at exit (before the library's own clean-up, which it registered first).
struct cryptoContext {
  OSSL_LIB_CTX* ctx = nullptr;
  OSSL_PROVIDER* provider = nullptr;
  cryptoContext() {
    ctx = OSSL_LIB_CTX_new();
    if (ctx != nullptr) provider = OSSL_PROVIDER_load(ctx, "default");
  }
  ~cryptoContext() {
    if (provider != nullptr) OSSL_PROVIDER_unload(provider);
    OSSL_LIB_CTX_free(ctx);
  }
  cryptoContext(const cryptoContext&) = delete;
  cryptoContext& operator=(const cryptoContext&) = delete;
};

OSSL_LIB_CTX* libctx() {
  static const cryptoContext c;
  return c.ctx;
}

// The reason of the library's latest error, which empties its queue of
// errors so that none is left for a later call to find.
std::string cryptoReason() {
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  std::string text = reason != nullptr ? reason : "the crypto library gave no reason";
  ERR_clear_error();
  return text;
}

std::string quoted(std::string_view s) {
  std::string q(1, '"');
  q.append(s);
  q.push_back('"');
  return q;
}

struct digestInfo {
  digestKind::type what;
  const char* name;        // as parseDigestKind reads it
  const char* cryptoName;  // as the crypto library fetches it
  unsigned width;
};

constexpr digestInfo digests[] = {
    {digestKind::type::sha1, "sha1", "SHA1", 20},       {digestKind::type::sha224, "sha224", "SHA2-224", 28},
    {digestKind::type::sha256, "sha256", "SHA2-256", 32}, {digestKind::type::sha384, "sha384", "SHA2-384", 48},
    {digestKind::type::sha512, "sha512", "SHA2-512", 64}, {digestKind::type::md5, "md5", "MD5", 16},
};

const digestInfo& infoOf(digestKind::type t) {
  for (const digestInfo& d : digests)
    if (d.what == t) return d;
  return digests[2];
}

constexpr std::string_view digestNames = "sha1, sha224, sha256, sha384, sha512, md5";
constexpr std::string_view signatureNames = "sign:ed25519,key=FILE, sign:ecdsa-p256,key=FILE[,der=yes]";

}  // namespace

// ---- Digests --------------------------------------------------------------------

unsigned digestKind::width() const { return infoOf(what).width; }
std::string_view digestKind::name() const { return infoOf(what).name; }

std::string_view digestKindNames() { return digestNames; }
std::string_view signatureKindNames() { return signatureNames; }

Result<digestKind> parseDigestKind(std::string_view text) {
  for (const digestInfo& d : digests)
    if (text == d.name) return digestKind{d.what};
  return failuref("not a kind: %.*s", static_cast<int>(digestNames.size()), digestNames.data());
}

struct digest::state {
  mdCtxPtr ctx;
  // The first failure, reported by finish().
  std::optional<std::string> error;
  bool finished = false;

  bool usable() {
    if (finished && !error) error = "the digest was fed after it was finished";
    return !error;
  }
};

digest::digest(const digestKind& k) : kind_(k), s_(std::make_unique<state>()) {
  const digestInfo& info = infoOf(k.what);
  const mdPtr md(EVP_MD_fetch(libctx(), info.cryptoName, nullptr));
  s_->ctx.reset(EVP_MD_CTX_new());
  if (md == nullptr || s_->ctx == nullptr || EVP_DigestInit_ex(s_->ctx.get(), md.get(), nullptr) != 1)
    s_->error = strf("%s is not available from the crypto library: %s", info.name, cryptoReason().c_str());
}

digest::~digest() = default;
digest::digest(digest&&) noexcept = default;
digest& digest::operator=(digest&&) noexcept = default;

void digest::feed(std::span<const uint8_t> bytes) {
  if (!s_->usable() || bytes.empty()) return;
  if (EVP_DigestUpdate(s_->ctx.get(), bytes.data(), bytes.size()) != 1)
    s_->error = strf("%s failed: %s", kind_.name().data(), cryptoReason().c_str());
}

void digest::feedRepeated(uint8_t byte, uint64_t count) {
  // One block on the stack, hashed over and over.
  uint8_t block[16384];
  memset(block, byte, static_cast<size_t>(std::min<uint64_t>(count, sizeof block)));
  while (count > 0 && !s_->error) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof block));
    feed({block, n});
    count -= n;
  }
}

Result<std::vector<uint8_t>> digest::finish() {
  if (s_->finished && !s_->error) s_->error = "the digest was finished twice";
  s_->finished = true;
  if (s_->error) return Error{*s_->error};
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned n = 0;
  if (EVP_DigestFinal_ex(s_->ctx.get(), out.data(), &n) != 1 || n != width()) {
    s_->error = strf("%s failed: %s", kind_.name().data(), cryptoReason().c_str());
    return Error{*s_->error};
  }
  out.resize(n);
  return out;
}

// ---- Signature kinds ------------------------------------------------------------

unsigned signatureKind::width() const { return what == type::ecdsaP256 && der ? ecdsaP256DerWidth : 64; }
std::string_view signatureKind::name() const { return what == type::ed25519 ? "ed25519" : "ecdsa-p256"; }

Result<bool> takeSignatureItem(signatureKind& k, std::string_view item) {
  if (item.starts_with("key=")) {
    if (!k.keyFile.empty()) return failuref("key= is given twice");
    if (item.size() == 4) return failuref("key= names a PEM private key file, not nothing");
    k.keyFile = std::string(item.substr(4));
    return true;
  }
  if (item.starts_with("der=")) {
    const std::string_view v = item.substr(4);
    if (v != "yes" && v != "no") return failuref("der= is yes or no, not %s", quoted(v).c_str());
    k.der = v == "yes";
    return true;
  }
  return false;
}

status checkSignatureKind(const signatureKind& k) {
  if (k.keyFile.empty()) return failuref("sign:%s needs key=FILE, a PEM private key", k.name().data());
  if (k.der && k.what != signatureKind::type::ecdsaP256)
    return failuref("der=yes is for sign:ecdsa-p256 only; an ed25519 signature has one form");
  return done;
}

Result<signatureKind> parseSignatureKind(std::string_view text) {
  if (!text.starts_with("sign:")) return failuref("not a kind: %s", signatureNames.data());
  text.remove_prefix(5);
  const size_t comma = text.find(',');
  const std::string_view alg = text.substr(0, comma);
  signatureKind k;
  if (alg == "ed25519") k.what = signatureKind::type::ed25519;
  else if (alg == "ecdsa-p256") k.what = signatureKind::type::ecdsaP256;
  else return failuref("sign: takes ed25519 or ecdsa-p256, not %s", quoted(alg).c_str());
  for (size_t next = comma; next != std::string_view::npos;) {
    const size_t end = text.find(',', next + 1);
    const std::string_view item = text.substr(next + 1, end == std::string_view::npos ? end : end - next - 1);
    next = end;
    Result<bool> took = takeSignatureItem(k, item);
    if (!took) return took.error();
    if (!*took) return failuref("not key=FILE or der=yes|no: %s", std::string(item).c_str());
  }
  status whole = checkSignatureKind(k);
  if (!whole) return whole.error();
  return k;
}

// ---- Keys -----------------------------------------------------------------------

namespace {

// A PEM private key is a few kilobytes at most; a longer file is refused
// before any of it is decoded.
constexpr size_t keyFileLimit = 64 << 10;

Result<std::string> readKeyFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failuref("key file %s: %s", path.c_str(), reasonOf(errno).c_str());
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return failuref("key file %s: %s", path.c_str(), reasonOf(err).c_str());
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > keyFileLimit) {
      ::close(fd);
      return failuref("key file %s: longer than %zu bytes, too long for a PEM key", path.c_str(), keyFileLimit);
    }
  }
  ::close(fd);
  return text;
}

// The pass phrase callback: none is given (the library never prompts), and
// the call itself says the key is encrypted.
int noPassphrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

std::string describeKey(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "ED25519")) return "an ed25519 key";
  if (EVP_PKEY_is_a(key, "EC")) {
    char group[80] = {};
    size_t len = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &len) == 1) return std::string("an EC key on curve ") + group;
    ERR_clear_error();
    return "an EC key on an unnamed curve";
  }
  const char* type = EVP_PKEY_get0_type_name(key);
  return std::string("a key of type ") + (type != nullptr ? type : "unknown");
}

bool isP256(EVP_PKEY* key) {
  if (!EVP_PKEY_is_a(key, "EC")) return false;
  char group[80] = {};
  size_t len = 0;
  const bool named = EVP_PKEY_get_group_name(key, group, sizeof group, &len) == 1;
  ERR_clear_error();
  return named && (strcmp(group, "prime256v1") == 0 || strcmp(group, "P-256") == 0);
}

Result<pkeyPtr> loadKey(const signatureKind& k) {
  const std::string& path = k.keyFile;
  Result<std::string> text = readKeyFile(path);
  if (!text) return text.error();
  if (text->find("-----BEGIN ") == std::string::npos)
    return failuref("key file %s: not PEM (no -----BEGIN line)", path.c_str());
  if (text->find("PRIVATE KEY-----") == std::string::npos && text->find("-----BEGIN PUBLIC KEY-----") != std::string::npos)
    return failuref("key file %s: holds a public key only; signing needs the private key", path.c_str());
  const bioPtr bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  if (bio == nullptr) return failuref("key file %s: %s", path.c_str(), cryptoReason().c_str());
  bool asked = false;
  pkeyPtr key(PEM_read_bio_PrivateKey_ex(bio.get(), nullptr, noPassphrase, &asked, libctx(), nullptr));
  // The text held the key's secret: it goes before the memory is given back.
  OPENSSL_cleanse(text->data(), text->size());
  if (key == nullptr) {
    if (asked) {
      ERR_clear_error();
      return failuref("key file %s: the key is encrypted; give it unencrypted (no pass phrase is asked for)",
                      path.c_str());
    }
    return failuref("key file %s: no private key read from it: %s", path.c_str(), cryptoReason().c_str());
  }
  ERR_clear_error();
  const bool fits = k.what == signatureKind::type::ed25519 ? EVP_PKEY_is_a(key.get(), "ED25519") : isP256(key.get());
  if (!fits) {
    const char* wanted = k.what == signatureKind::type::ed25519 ? "an ed25519 key" : "an EC key on curve P-256 (prime256v1)";
    return failuref("key file %s holds %s; sign:%s needs %s", path.c_str(), describeKey(key.get()).c_str(),
                    k.name().data(), wanted);
  }
  return key;
}

}  // namespace

// ---- Signing --------------------------------------------------------------------

struct signer::state {
  pkeyPtr key;
  // ECDSA: the SHA-256 of the bytes fed. Ed25519: the bytes fed.
  std::optional<digest> sha256;
  std::vector<uint8_t> message;
  std::optional<std::string> error;
  bool finished = false;
};

signer::signer(const signatureKind& k, std::unique_ptr<state> s) : kind_(k), s_(std::move(s)) {}
signer::~signer() = default;
signer::signer(signer&&) noexcept = default;
signer& signer::operator=(signer&&) noexcept = default;

Result<signer> signer::open(const signatureKind& k) {
  status whole = checkSignatureKind(k);
  if (!whole) return whole.error();
  Result<pkeyPtr> key = loadKey(k);
  if (!key) return key.error();
  auto s = std::make_unique<state>();
  s->key = std::move(*key);
  if (k.what == signatureKind::type::ecdsaP256) s->sha256.emplace(digestKind{digestKind::type::sha256});
  return signer(k, std::move(s));
}

namespace {

// Ed25519 keeps what it is fed: whether `n` more bytes fit under the limit,
// and the failure that says they do not, once, with the bytes let go.
bool ed25519Room(std::vector<uint8_t>& message, std::optional<std::string>& error, uint64_t n) {
  if (n <= ed25519MessageLimit - message.size()) return true;
  error = strf("ed25519 signs its message whole, at most %llu bytes (%llu MiB), and is given more: sign a "
               "digest field (of=) instead",
               static_cast<unsigned long long>(ed25519MessageLimit),
               static_cast<unsigned long long>(ed25519MessageLimit >> 20));
  std::vector<uint8_t>().swap(message);
  return false;
}

}  // namespace

void signer::feed(std::span<const uint8_t> bytes) {
  state& s = *s_;
  if (s.finished && !s.error) s.error = "the signer was fed after it was finished";
  if (s.error || bytes.empty()) return;
  if (s.sha256) s.sha256->feed(bytes);
  else if (ed25519Room(s.message, s.error, bytes.size())) s.message.insert(s.message.end(), bytes.begin(), bytes.end());
}

void signer::feedRepeated(uint8_t byte, uint64_t count) {
  state& s = *s_;
  if (s.finished && !s.error) s.error = "the signer was fed after it was finished";
  if (s.error || count == 0) return;
  if (s.sha256) s.sha256->feedRepeated(byte, count);
  else if (ed25519Room(s.message, s.error, count)) s.message.insert(s.message.end(), static_cast<size_t>(count), byte);
}

namespace {

std::string signFailure(const signatureKind& k, const char* step) {
  return strf("sign:%s with key file %s: %s failed: %s", k.name().data(), k.keyFile.c_str(), step,
              cryptoReason().c_str());
}

// Pure Ed25519 over `message`.
Result<std::vector<uint8_t>> signEd25519(const signatureKind& k, EVP_PKEY* key, std::span<const uint8_t> message) {
  const mdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, libctx(), nullptr, key, nullptr) != 1)
    return Error{signFailure(k, "starting the signature")};
  std::vector<uint8_t> sig(64);
  size_t len = sig.size();
  const uint8_t none = 0;
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, message.empty() ? &none : message.data(), message.size()) != 1 ||
      len != sig.size())
    return Error{signFailure(k, "signing")};
  return sig;
}

// One ECDSA signature of `hash` as the hash, in DER.
Result<std::vector<uint8_t>> signEcdsaDer(const signatureKind& k, EVP_PKEY* key, std::span<const uint8_t> hash) {
  const pkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(libctx(), key, nullptr));
  if (ctx == nullptr || EVP_PKEY_sign_init(ctx.get()) != 1) return Error{signFailure(k, "starting the signature")};
  size_t len = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &len, hash.data(), hash.size()) != 1)
    return Error{signFailure(k, "signing")};
  std::vector<uint8_t> der(len);
  if (EVP_PKEY_sign(ctx.get(), der.data(), &len, hash.data(), hash.size()) != 1)
    return Error{signFailure(k, "signing")};
  der.resize(len);
  return der;
}

// r and s of a DER signature, 32 bytes each, big-endian.
Result<std::vector<uint8_t>> rawOfDer(const signatureKind& k, const std::vector<uint8_t>& der) {
  const unsigned char* p = der.data();
  const ecdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  if (sig == nullptr) return Error{signFailure(k, "reading the signature")};
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  std::vector<uint8_t> raw(64);
  if (BN_bn2binpad(r, raw.data(), 32) != 32 || BN_bn2binpad(s, raw.data() + 32, 32) != 32)
    return Error{signFailure(k, "writing r and s")};
  return raw;
}

Result<std::vector<uint8_t>> signEcdsa(const signatureKind& k, EVP_PKEY* key, std::span<const uint8_t> hash) {
  if (hash.empty()) return failuref("sign:%s: there is no digest to sign", k.name().data());
  if (!k.der) {
    Result<std::vector<uint8_t>> der = signEcdsaDer(k, key, hash);
    if (!der) return der;
    return rawOfDer(k, *der);
  }
  // A new nonce each time, until the DER takes the whole field; see the
  // header for the odds and what is stored otherwise.
  std::vector<uint8_t> last;
  for (int attempt = 0; attempt < 256; ++attempt) {
    Result<std::vector<uint8_t>> der = signEcdsaDer(k, key, hash);
    if (!der) return der;
    if (der->size() > ecdsaP256DerWidth) return Error{signFailure(k, "signing (a DER longer than 72 bytes)")};
    last = std::move(*der);
    if (last.size() == ecdsaP256DerWidth) return last;
  }
  last.resize(ecdsaP256DerWidth, 0);
  return last;
}

}  // namespace

Result<std::vector<uint8_t>> signer::signDigest(std::span<const uint8_t> digestBytes) {
  if (kind_.what == signatureKind::type::ed25519) return signEd25519(kind_, s_->key.get(), digestBytes);
  return signEcdsa(kind_, s_->key.get(), digestBytes);
}

Result<std::vector<uint8_t>> signer::finish() {
  state& s = *s_;
  if (s.finished && !s.error) s.error = "the signer was finished twice";
  s.finished = true;
  if (s.error) return failuref("sign:%s with key file %s: %s", kind_.name().data(), kind_.keyFile.c_str(), s.error->c_str());
  if (!s.sha256) {
    Result<std::vector<uint8_t>> sig = signEd25519(kind_, s.key.get(), s.message);
    std::vector<uint8_t>().swap(s.message);
    return sig;
  }
  Result<std::vector<uint8_t>> hash = s.sha256->finish();
  if (!hash) return failuref("sign:%s with key file %s: %s", kind_.name().data(), kind_.keyFile.c_str(), hash.error().message.c_str());
  return signEcdsa(kind_, s.key.get(), *hash);
}

void keepCryptoConfigOut() { OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr); }

}  // namespace romwright
