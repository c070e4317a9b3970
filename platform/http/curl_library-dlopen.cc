#include "platform/http/curl_library.h"

#include "platform/os/shared_library.h"

namespace {

#define BOOTSTRAP_CURL(member) \
  { "curl_" #member, reinterpret_cast<void**>(&curl->member) }

bool load(CurlLibrary* curl, std::string* error) {
  // Kept for the life of the process: libcurl's global state and the TLS
  // library's threads must not be unloaded. libcurl 7 and 8 are ".so.4".
  if (!loadSharedLibrary(
          "libcurl.so.4",
          {BOOTSTRAP_CURL(global_init), BOOTSTRAP_CURL(easy_init), BOOTSTRAP_CURL(easy_cleanup),
           BOOTSTRAP_CURL(easy_setopt), BOOTSTRAP_CURL(easy_getinfo), BOOTSTRAP_CURL(easy_strerror),
           BOOTSTRAP_CURL(multi_init), BOOTSTRAP_CURL(multi_cleanup),
           BOOTSTRAP_CURL(multi_add_handle), BOOTSTRAP_CURL(multi_remove_handle),
           BOOTSTRAP_CURL(multi_perform), BOOTSTRAP_CURL(multi_poll), BOOTSTRAP_CURL(multi_wakeup),
           BOOTSTRAP_CURL(multi_info_read), BOOTSTRAP_CURL(multi_strerror), BOOTSTRAP_CURL(url),
           BOOTSTRAP_CURL(url_set), BOOTSTRAP_CURL(url_cleanup), BOOTSTRAP_CURL(url_strerror)},
          error)) {
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
