// Libraries loaded with dlopen when first needed, so that a run that does not
// need one never pays for loading it.
#ifndef BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_
#define BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_

#include <string>

// Loads `soname` for the rest of the process: its handle, or null with
// "Cannot load <soname>: <reason>" in `error`.
void* loadSharedLibrary(const char* soname, std::string* error);

// The address of `name` in `library`, or null.
void* sharedLibrarySymbol(void* library, const char* name);

// Sets `function` to the entry point `name` of `library` (loaded as
// `soname`). False when it is missing, and then `error`, unless it holds an
// earlier one, says "<soname> has no <name>".
template <typename Function>
bool resolveSymbol(void* library, const char* soname, const char* name, Function* function,
                   std::string* error) {
  *function = reinterpret_cast<Function>(sharedLibrarySymbol(library, name));
  if (*function == nullptr && error->empty()) *error = std::string(soname) + " has no " + name;
  return *function != nullptr;
}

#endif  // BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_
