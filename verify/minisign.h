// Minisign public keys and signatures, read as `minisign -G` and `-S` write them, and
// the check that a file is the one a key signed (with libsodium, loaded on first use).
#ifndef BOOTSTRAP_VERIFY_MINISIGN_H_
#define BOOTSTRAP_VERIFY_MINISIGN_H_

#include <array>
#include <string>

// Which key made a signature; minisign prints it as 16 uppercase hex digits,
// the 8 bytes read as a little-endian number.
using MinisignKeyId = std::array<unsigned char, 8>;

struct MinisignPublicKey {
  MinisignKeyId keyId = {};
  std::array<unsigned char, 32> key = {};  // Ed25519
};

struct MinisignSignature {
  bool prehashed = true;  // "ED", over the file's BLAKE2b-512 hash; legacy "Ed" is not
  MinisignKeyId keyId = {};
  std::array<unsigned char, 64> signature = {};
  std::string trustedComment;                          // after "trusted comment: "
  std::array<unsigned char, 64> globalSignature = {};  // over signature + trustedComment
};

// The key id as minisign writes it, without leading zeros.
std::string minisignKeyIdText(const MinisignKeyId& id);

// Reads a public key file (LF or CRLF lines, then only empty ones): false with the
// reason in `error` when it is not one.
bool parseMinisignPublicKey(const std::string& text, MinisignPublicKey* key, std::string* error);

// Reads a signature file, as strictly: false with the reason in `error`.
bool parseMinisignSignature(const std::string& text, MinisignSignature* signature,
                            std::string* error);

// True when the file at `path` is the one `key` signed, with its trusted comment;
// otherwise false, and `error` says which check (or reading, or libsodium) failed.
bool verifyMinisignFile(const MinisignPublicKey& key, const MinisignSignature& signature,
                        const std::string& path, std::string* error);

#endif  // BOOTSTRAP_VERIFY_MINISIGN_H_
