// Libraries loaded with dlopen when first needed, so that a run that does not
// need one never pays for loading it.
#ifndef BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_
#define BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_

#include <initializer_list>
#include <string>

// An entry point to look up, and the function pointer that receives it.
struct LibrarySymbol {
  const char* name;
  void** address;
};

// Loads `soname` for the rest of the process and sets every symbol's address.
// False when the library cannot be loaded ("Cannot load <soname>: <reason>")
// or lacks a symbol ("<soname> has no <name>", the first one missing), with
// that text in `error`.
bool loadSharedLibrary(const char* soname, std::initializer_list<LibrarySymbol> symbols,
                       std::string* error);

// A library's table of entry points, filled by `load` once, when the first
// caller from any thread constructs it as a function's static.
template <typename Table>
class LoadedLibrary {
 public:
  explicit LoadedLibrary(bool (*load)(Table*, std::string*)) : loaded_(load(&table_, &error_)) {}
  // The table, or null with the same reason in `error` on every call.
  const Table* get(std::string* error) const {
    if (!loaded_) *error = error_;
    return loaded_ ? &table_ : nullptr;
  }

 private:
  Table table_ = {};
  std::string error_;
  bool loaded_;
};

#endif  // BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_
