// libcurl, loaded at the first download: its dependencies (TLS, Kerberos, LDAP, ...)
// would take most of the start-up time and memory of runs that download nothing.
#ifndef BOOTSTRAP_PLATFORM_HTTP_CURL_LIBRARY_H_
#define BOOTSTRAP_PLATFORM_HTTP_CURL_LIBRARY_H_

#include <curl/curl.h>

#include <string>

// The entry points the URL session uses, as X(name) for each curl_<name>.
// clang-format off
#define BOOTSTRAP_CURL_FUNCTIONS(X)                                                           \
  X(global_init) X(easy_init) X(easy_cleanup) X(easy_setopt) X(easy_getinfo) X(easy_strerror) \
  X(multi_init) X(multi_cleanup) X(multi_add_handle) X(multi_remove_handle) X(multi_perform)  \
  X(multi_poll) X(multi_wakeup) X(multi_info_read) X(multi_strerror)                          \
  X(url) X(url_set) X(url_cleanup) X(url_strerror)
// clang-format on

// Those entry points, with libcurl's own signatures.
struct CurlLibrary {
#define BOOTSTRAP_CURL_MEMBER(name) decltype(&::curl_##name) name;
  BOOTSTRAP_CURL_FUNCTIONS(BOOTSTRAP_CURL_MEMBER)
#undef BOOTSTRAP_CURL_MEMBER
};

// libcurl, loaded and globally initialized on the first call from any thread; null
// when it cannot be, with the same reason in `error` on every call.
const CurlLibrary* curlLibrary(std::string* error);

#endif  // BOOTSTRAP_PLATFORM_HTTP_CURL_LIBRARY_H_
