// libsodium, loaded at the first signature check: a bundle without a key neither pays
// for it nor needs it installed. The types are written out so that its users need no
// libsodium headers; the loader asserts that they are libsodium's own.
#ifndef BOOTSTRAP_PLATFORM_CRYPTO_SODIUM_LIBRARY_H_
#define BOOTSTRAP_PLATFORM_CRYPTO_SODIUM_LIBRARY_H_

#include <cstddef>
#include <string>

// Opaque, generichash_statebytes() long, aligned to 64 bytes.
struct crypto_generichash_blake2b_state;

// The entry points a signature check uses, as X(name) for each crypto_<name>.
#define BOOTSTRAP_SODIUM_FUNCTIONS(X) \
  X(sign_verify_detached)             \
  X(generichash_statebytes) X(generichash_init) X(generichash_update) X(generichash_final)

// Those entry points, named as libsodium names them without "crypto_".
struct SodiumLibrary {
  // Ed25519: 0 when `sig` (64 bytes) holds over `m` for `pk` (32 bytes).
  int (*sign_verify_detached)(const unsigned char* sig, const unsigned char* m,
                              unsigned long long mlen, const unsigned char* pk);
  // BLAKE2b, fed in pieces; 0 on success.
  std::size_t (*generichash_statebytes)(void);
  int (*generichash_init)(crypto_generichash_blake2b_state* state, const unsigned char* key,
                          const std::size_t keylen, const std::size_t outlen);
  int (*generichash_update)(crypto_generichash_blake2b_state* state, const unsigned char* in,
                            unsigned long long inlen);
  int (*generichash_final)(crypto_generichash_blake2b_state* state, unsigned char* out,
                           const std::size_t outlen);
};

// libsodium, loaded and initialized on the first call from any thread; null when it
// cannot be, with the same reason in `error` on every call.
const SodiumLibrary* sodiumLibrary(std::string* error);

#endif  // BOOTSTRAP_PLATFORM_CRYPTO_SODIUM_LIBRARY_H_
