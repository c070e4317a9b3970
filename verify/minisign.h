// Minisign signatures: the public key a publisher hands out, the signature
// file published beside an archive, and the check that the archive is the one
// that key signed. The files are read as `minisign -G` and `minisign -S` write
// them; every hash and signature check is libsodium's, loaded on the first
// check (platform/crypto/sodium_library.h).
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
  // True for algorithm "ED" (the signature is over the file's BLAKE2b-512
  // hash), false for the legacy "Ed" (over the file itself).
  bool prehashed = true;
  MinisignKeyId keyId = {};
  std::array<unsigned char, 64> signature = {};
  // The text after "trusted comment: ", without the line end.
  std::string trustedComment;
  // Over `signature` followed by `trustedComment`.
  std::array<unsigned char, 64> globalSignature = {};
};

// The key id as minisign writes it: uppercase hex digits of the id read as a
// little-endian number, without leading zeros.
std::string minisignKeyIdText(const MinisignKeyId& id);

// Reads a public key file: an "untrusted comment: " line, then the base64 of
// "Ed", the key id and the key (42 bytes). Lines end in LF or CRLF; nothing
// but empty lines may follow. False with the reason in `error` otherwise.
bool parseMinisignPublicKey(const std::string& text, MinisignPublicKey* key, std::string* error);

// Reads a signature file: an "untrusted comment: " line; the base64 of the
// algorithm ("ED" or "Ed"), the key id and the signature (74 bytes); a
// "trusted comment: " line; the base64 of the global signature (64 bytes).
// Lines end in LF or CRLF; nothing but empty lines may follow. False with the
// reason in `error` otherwise.
bool parseMinisignSignature(const std::string& text, MinisignSignature* signature,
                            std::string* error);

// True when the file at `path` is the one `key` signed: the key ids match, the
// signature holds over the file, and the global signature holds over the
// signature and its trusted comment. Otherwise false, and `error` says which
// check failed (or that the file cannot be read, or that libsodium cannot be
// loaded). The file is read in pieces for a prehashed signature, whole for a
// legacy one.
bool verifyMinisignFile(const MinisignPublicKey& key, const MinisignSignature& signature,
                        const std::string& path, std::string* error);

#endif  // BOOTSTRAP_VERIFY_MINISIGN_H_
