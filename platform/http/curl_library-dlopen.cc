#include "platform/http/curl_library.h"

#include "platform/os/shared_library.h"

namespace {

#define BOOTSTRAP_CURL(name) {"curl_" #name, reinterpret_cast<void**>(&curl->name)},

bool load(CurlLibrary* curl, std::string* error) {
  // Kept for the life of the process: libcurl's global state and the TLS
  // library's threads must not be unloaded. libcurl 7 and 8 are ".so.4".
  if (!loadSharedLibrary("libcurl.so.4", {BOOTSTRAP_CURL_FUNCTIONS(BOOTSTRAP_CURL)}, error)) {
    return false;
  }
  CURLcode code = curl->global_init(CURL_GLOBAL_DEFAULT);
  if (code == CURLE_OK) return true;
  *error = std::string("Cannot initialize libcurl: ") + curl->easy_strerror(code);
  return false;
}

#undef BOOTSTRAP_CURL

}  // namespace

const CurlLibrary* curlLibrary(std::string* error) {
  static const LoadedLibrary<CurlLibrary> loaded(load);
  return loaded.get(error);
}
