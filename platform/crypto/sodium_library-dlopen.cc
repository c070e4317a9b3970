#include "platform/crypto/sodium_library.h"

#include <sodium.h>

#include "platform/os/shared_library.h"

namespace {

// A call through a wrongly typed entry would pass wrong arguments silently: a function
// pointer initializes only a pointer of its exact type (unevaluated, so nothing links).
#define BOOTSTRAP_SODIUM(name)                                                \
  static_assert(sizeof(decltype(SodiumLibrary::name){&::crypto_##name}) != 0, \
                "SodiumLibrary::" #name " has libsodium's type");
BOOTSTRAP_SODIUM_FUNCTIONS(BOOTSTRAP_SODIUM)
#undef BOOTSTRAP_SODIUM
#define BOOTSTRAP_SODIUM(name) {"crypto_" #name, reinterpret_cast<void**>(&sodium->name)},

bool load(SodiumLibrary* sodium, std::string* error) {
  decltype(&::sodium_init) init = nullptr;
  // Kept for the life of the process: the table points into it.
  if (!loadSharedLibrary("libsodium.so.23",
                         {{"sodium_init", reinterpret_cast<void**>(&init)},
                          BOOTSTRAP_SODIUM_FUNCTIONS(BOOTSTRAP_SODIUM)},
                         error)) {
    return false;
  }
  // Picks the fastest implementations for this processor; the functions are
  // not safe to call before it.
  if (init() >= 0) return true;
  *error = "Cannot initialize libsodium";
  return false;
}

#undef BOOTSTRAP_SODIUM

}  // namespace

const SodiumLibrary* sodiumLibrary(std::string* error) {
  static const LoadedLibrary<SodiumLibrary> loaded(load);
  return loaded.get(error);
}
