// libcurl, loaded when the first download starts rather than when the program
// starts: its dependencies (TLS, Kerberos, LDAP, ...) take most of a run's
// start-up time and memory, and the routes that start an install agent from
// the bundle never download anything.
#ifndef BOOTSTRAP_PLATFORM_HTTP_CURL_LIBRARY_H_
#define BOOTSTRAP_PLATFORM_HTTP_CURL_LIBRARY_H_

#include <curl/curl.h>

#include <string>

// The entry points the URL session uses, with libcurl's own signatures.
struct CurlLibrary {
  decltype(&::curl_global_init) global_init;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_multi_init) multi_init;
  decltype(&::curl_multi_cleanup) multi_cleanup;
  decltype(&::curl_multi_add_handle) multi_add_handle;
  decltype(&::curl_multi_remove_handle) multi_remove_handle;
  decltype(&::curl_multi_perform) multi_perform;
  decltype(&::curl_multi_poll) multi_poll;
  decltype(&::curl_multi_wakeup) multi_wakeup;
  decltype(&::curl_multi_info_read) multi_info_read;
  decltype(&::curl_multi_strerror) multi_strerror;
  decltype(&::curl_url) url;
  decltype(&::curl_url_set) url_set;
  decltype(&::curl_url_cleanup) url_cleanup;
  decltype(&::curl_url_strerror) url_strerror;
};

// libcurl, loaded and globally initialized on the first call from any thread;
// null when it cannot be loaded, and then `error` says why (the same text on
// every call).
const CurlLibrary* curlLibrary(std::string* error);

#endif  // BOOTSTRAP_PLATFORM_HTTP_CURL_LIBRARY_H_
