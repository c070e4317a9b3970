#include "platform/crypto/sodium_library.h"

#include <sodium.h>

#include "platform/os/shared_library.h"

namespace {

// The name the dynamic loader knows libsodium 1.0.x by.
constexpr char kSodiumSoname[] = "libsodium.so.23";

// The table's hand-written types must be libsodium's, or a call through them
// would pass the wrong arguments without a word from the compiler: a function
// pointer initializes only a pointer of its exact type. (Unevaluated, so the
// program does not link libsodium for it.)
#define BOOTSTRAP_SAME_TYPE(member)                                               \
  static_assert(sizeof(decltype(SodiumLibrary::member){&::crypto_##member}) != 0, \
                "SodiumLibrary::" #member " has libsodium's type")
BOOTSTRAP_SAME_TYPE(sign_verify_detached);
BOOTSTRAP_SAME_TYPE(generichash_statebytes);
BOOTSTRAP_SAME_TYPE(generichash_init);
BOOTSTRAP_SAME_TYPE(generichash_update);
BOOTSTRAP_SAME_TYPE(generichash_final);
#undef BOOTSTRAP_SAME_TYPE

// Fills every entry point of `sodium`, named as libsodium names it
// ("crypto_" + member).
#define BOOTSTRAP_RESOLVE(member) \
  found = resolveSymbol(library, kSodiumSoname, "crypto_" #member, &sodium->member, error) && found

bool resolveAll(void* library, SodiumLibrary* sodium, std::string* error) {
  bool found = true;
  BOOTSTRAP_RESOLVE(sign_verify_detached);
  BOOTSTRAP_RESOLVE(generichash_statebytes);
  BOOTSTRAP_RESOLVE(generichash_init);
  BOOTSTRAP_RESOLVE(generichash_update);
  BOOTSTRAP_RESOLVE(generichash_final);
  return found;
}

#undef BOOTSTRAP_RESOLVE

struct Loaded {
  SodiumLibrary sodium = {};
  std::string error;  // empty when sodium is usable
};

Loaded load() {
  Loaded loaded;
  // Kept for the life of the process: the table points into it.
  void* library = loadSharedLibrary(kSodiumSoname, &loaded.error);
  if (library == nullptr) return loaded;
  decltype(&::sodium_init) init = nullptr;
  if (!resolveSymbol(library, kSodiumSoname, "sodium_init", &init, &loaded.error)) return loaded;
  if (!resolveAll(library, &loaded.sodium, &loaded.error)) return loaded;
  // Picks the fastest implementations for this processor; the functions are
  // not safe to call before it.
  if (init() < 0) loaded.error = "Cannot initialize libsodium";
  return loaded;
}

}  // namespace

const SodiumLibrary* sodiumLibrary(std::string* error) {
  static const Loaded loaded = load();  // once, whichever thread comes first
  if (!loaded.error.empty()) {
    *error = loaded.error;
    return nullptr;
  }
  return &loaded.sodium;
}
