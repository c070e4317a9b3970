#include "platform/http/curl_library.h"

#include "platform/os/shared_library.h"

namespace {

// The name the dynamic loader knows libcurl 7 and 8 by.
constexpr char kCurlSoname[] = "libcurl.so.4";

// Fills every entry point of `curl`, named as libcurl names it ("curl_" + member).
#define BOOTSTRAP_RESOLVE(member) \
  found = resolveSymbol(library, kCurlSoname, "curl_" #member, &curl->member, error) && found

bool resolveAll(void* library, CurlLibrary* curl, std::string* error) {
  bool found = true;
  BOOTSTRAP_RESOLVE(global_init);
  BOOTSTRAP_RESOLVE(easy_init);
  BOOTSTRAP_RESOLVE(easy_cleanup);
  BOOTSTRAP_RESOLVE(easy_setopt);
  BOOTSTRAP_RESOLVE(easy_getinfo);
  BOOTSTRAP_RESOLVE(easy_strerror);
  BOOTSTRAP_RESOLVE(multi_init);
  BOOTSTRAP_RESOLVE(multi_cleanup);
  BOOTSTRAP_RESOLVE(multi_add_handle);
  BOOTSTRAP_RESOLVE(multi_remove_handle);
  BOOTSTRAP_RESOLVE(multi_perform);
  BOOTSTRAP_RESOLVE(multi_poll);
  BOOTSTRAP_RESOLVE(multi_wakeup);
  BOOTSTRAP_RESOLVE(multi_info_read);
  BOOTSTRAP_RESOLVE(multi_strerror);
  BOOTSTRAP_RESOLVE(url);
  BOOTSTRAP_RESOLVE(url_set);
  BOOTSTRAP_RESOLVE(url_cleanup);
  BOOTSTRAP_RESOLVE(url_strerror);
  return found;
}

#undef BOOTSTRAP_RESOLVE

struct Loaded {
  CurlLibrary curl = {};
  std::string error;  // empty when curl is usable
};

Loaded load() {
  Loaded loaded;
  // Kept for the life of the process: libcurl's global state and the TLS
  // library's threads must not be unloaded.
  void* library = loadSharedLibrary(kCurlSoname, &loaded.error);
  if (library == nullptr) return loaded;
  if (!resolveAll(library, &loaded.curl, &loaded.error)) return loaded;
  CURLcode code = loaded.curl.global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    loaded.error = std::string("Cannot initialize libcurl: ") + loaded.curl.easy_strerror(code);
  }
  return loaded;
}

}  // namespace

const CurlLibrary* curlLibrary(std::string* error) {
  static const Loaded loaded = load();  // once, whichever thread comes first
  if (!loaded.error.empty()) {
    *error = loaded.error;
    return nullptr;
  }
  return &loaded.curl;
}
