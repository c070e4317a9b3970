#include "platform/os/shared_library.h"

#include <dlfcn.h>

void* loadSharedLibrary(const char* soname, std::string* error) {
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *error = std::string("Cannot load ") + soname + ": " + (reason ? reason : "unknown reason");
  }
  return library;
}

void* sharedLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }
