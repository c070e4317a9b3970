#include "platform/os/shared_library.h"

#include <dlfcn.h>

bool loadSharedLibrary(const char* soname, std::initializer_list<LibrarySymbol> symbols,
                       std::string* error) {
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *error = std::string("Cannot load ") + soname + ": " + (reason ? reason : "unknown reason");
    return false;
  }
  for (const LibrarySymbol& symbol : symbols) {
    *symbol.address = dlsym(library, symbol.name);
    if (*symbol.address == nullptr) {
      *error = std::string(soname) + " has no " + symbol.name;
      return false;
    }
  }
  return true;
}
