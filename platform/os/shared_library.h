// Libraries loaded with dlopen when first needed, so that other runs never pay for them.
#ifndef BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_
#define BOOTSTRAP_PLATFORM_OS_SHARED_LIBRARY_H_

#include <initializer_list>
#include <string>

// An entry point to look up, and the function pointer that receives it.
struct LibrarySymbol {
  const char* name;
  void** address;
};

// Loads `soname` for the rest of the process and sets every symbol's address; false
// with the reason in `error` when it cannot be loaded or lacks a symbol.
bool loadSharedLibrary(const char* soname, std::initializer_list<LibrarySymbol> symbols,
                       std::string* error);

// A library's table of entry points, filled by `load` once, as a function's static.
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
