// Digests and signatures as integrity values: SHA-1, SHA-2 and MD5 digests
// and Ed25519 and ECDSA P-256 signatures over bytes fed in address order, a
// block at a time, the way checksum (checksum.hpp) takes them, so that one
// walk over a memory's runs of bytes and fill can feed any of them. The
// hashing and signing is the crypto library's; nothing here is a hand-made
// hash.
//
// Kind texts, as the part of --insert=KIND@WHERE,... before the '@':
//   sha1, sha224, sha256, sha384, sha512, md5       a digest, parseDigestKind
//   sign:ed25519,key=FILE                           parseSignatureKind
//   sign:ecdsa-p256,key=FILE[,der=yes|no]
// A signature's key= and der= belong to its kind (they say what the value
// is), the covered bytes (over=) and a digest field to sign (of=) to the
// placement items after WHERE. A caller that also wants to accept key= and
// der= among the items after WHERE passes each item it does not know itself
// to takeSignatureItem, then checks the whole with checkSignatureKind. FILE
// ends at the next ',' (a key file's name cannot hold one) and at the '@'
// the caller splits on.
//
// Failures of the parsers are a short reason without a newline, for the
// caller to put into its own "--insert=TEXT: ..." line, as with
// parseChecksumKind. Reading a key and signing fail the same way, naming
// the key file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace romwright {

// ---- Digests --------------------------------------------------------------------

struct digestKind {
  enum class type { sha1, sha224, sha256, sha384, sha512, md5 };
  type what = type::sha256;

  // The bytes of the digest: 20, 28, 32, 48, 64 or 16.
  unsigned width() const;
  // The name parseDigestKind reads: "sha256", ...
  std::string_view name() const;
};

// Reads sha1, sha224, sha256, sha384, sha512 or md5 (lower case, as the
// checksum kinds). Anything else: "not a kind: " and the names.
Result<digestKind> parseDigestKind(std::string_view text);

// The digest kinds and the signature kinds, comma separated, for messages
// (to follow checksumKindNames() in a list of every kind).
std::string_view digestKindNames();
std::string_view signatureKindNames();

// Computes one digest over the bytes fed to it, in order.
class digest {
 public:
  explicit digest(const digestKind& k);
  ~digest();
  digest(digest&&) noexcept;
  digest& operator=(digest&&) noexcept;

  void feed(std::span<const uint8_t> bytes);
  // The same as feeding `count` copies of `byte`, from a small reused block:
  // time linear in `count`, memory constant.
  void feedRepeated(uint8_t byte, uint64_t count);

  // The digest of everything fed, width() bytes, in the order the algorithm
  // defines (as sha256sum prints it). Ends the digest: a later feed or
  // finish fails. A failure of the crypto library on any step (none is
  // expected: an algorithm missing from its build, no memory) is kept and
  // returned here.
  Result<std::vector<uint8_t>> finish();

  unsigned width() const { return kind_.width(); }

 private:
  struct state;
  digestKind kind_;
  std::unique_ptr<state> s_;
};

// ---- Signatures -----------------------------------------------------------------

// The bytes an ECDSA signature in DER takes in the image: the longest DER
// encoding of a P-256 signature (a SEQUENCE of two INTEGERs of 33 bytes).
inline constexpr unsigned ecdsaP256DerWidth = 72;
// Ed25519 signs its message in one piece, so the bytes fed to an Ed25519
// signer are kept until finish(); more than this many is a failure there
// (sign a digest field, of=, instead).
inline constexpr uint64_t ed25519MessageLimit = uint64_t{256} << 20;

struct signatureKind {
  enum class type { ed25519, ecdsaP256 };
  type what = type::ed25519;
  // The PEM private key, as given after key=.
  std::string keyFile;
  // ecdsa-p256 only: the signature in DER rather than as r and s of 32
  // bytes each, big-endian.
  bool der = false;

  // The bytes of the value: 64 for ed25519 and raw ECDSA, 72 for DER.
  unsigned width() const;
  // "ed25519" or "ecdsa-p256".
  std::string_view name() const;
};

// Reads sign:ALG followed by ",key=FILE" and, for ecdsa-p256, ",der=yes" or
// ",der=no", the items in any order, each at most once; key= is required.
// The key file is not read here (see signer::open).
Result<signatureKind> parseSignatureKind(std::string_view text);

// One item of a signature kind, key=FILE or der=yes|no: true when it was
// one and has been stored in `k`, false when the item is something else (a
// caller's own), a failure when it is one of them but malformed or given
// twice.
Result<bool> takeSignatureItem(signatureKind& k, std::string_view item);

// Checks that a kind built item by item is whole: a key given, der= only
// with ecdsa-p256. parseSignatureKind does this itself.
status checkSignatureKind(const signatureKind& k);

// Signs the bytes fed to it, or a digest given whole, with the kind's key.
//
// Over fed bytes (a field with over=): ECDSA P-256 signs their SHA-256,
// computed as they are fed, exactly as `openssl dgst -sha256 -sign` does;
// Ed25519 (pure Ed25519, which hashes the message twice) keeps them and
// signs them at finish(), up to ed25519MessageLimit bytes.
//
// Over a digest (a field with of=WHERE): signDigest() signs the digest's
// bytes themselves: ECDSA signs them as the hash (as `openssl pkeyutl
// -sign` does on them, a digest longer than 32 bytes cut to its first 32 by
// ECDSA's own rule); Ed25519 signs them as its message.
//
// The value is always width() bytes. ECDSA raw: r then s, 32 bytes each,
// big-endian. ECDSA DER: the signature is made again with a new random
// nonce until its DER encoding takes all 72 bytes (r and s each of 33
// bytes with a leading zero: about one signature in four), so the field
// holds one complete, strict DER signature that a verifier given all 72
// bytes accepts; should 256 signatures in a row fall short (odds about
// 1 in 10^32), the shorter DER is stored followed by zero bytes, which a
// reader that takes the length from the DER header (2 + its second byte)
// ignores.
class signer {
 public:
  // Reads the key file (PEM, as `openssl genpkey` writes it: PKCS#8
  // "PRIVATE KEY", or "EC PRIVATE KEY") and checks it is a private key of
  // the kind's algorithm. The failures name the file: it cannot be read
  // (the system's reason), is not PEM, is encrypted, holds a public key
  // only, or a key of another type or curve.
  static Result<signer> open(const signatureKind& k);
  ~signer();
  signer(signer&&) noexcept;
  signer& operator=(signer&&) noexcept;

  void feed(std::span<const uint8_t> bytes);
  void feedRepeated(uint8_t byte, uint64_t count);
  // The signature of everything fed. Ends the signer for feeding.
  Result<std::vector<uint8_t>> finish();

  // The signature of a digest given whole; independent of what was fed.
  Result<std::vector<uint8_t>> signDigest(std::span<const uint8_t> digestBytes);

  unsigned width() const { return kind_.width(); }

 private:
  struct state;
  signer(const signatureKind& k, std::unique_ptr<state> s);
  signatureKind kind_;
  std::unique_ptr<state> s_;
};

// For a program that links libcrypto from its static archive: that copy is
// the program's own, and a configuration written for the system's shared
// library (naming its modules) is none of its business. Keeps it from
// reading openssl.cnf, for its default context too (which its key decoders
// touch). Call first in main; the library itself never calls it, so that a
// host program's OpenSSL is left as the host set it up.
void keepCryptoConfigOut();

}  // namespace romwright
