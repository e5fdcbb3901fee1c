#pragma once
// libcurl, loaded when a command first needs it: the library and the TLS, Kerberos and LDAP
// libraries it brings are 3 MB resident in every brixctl, the long-running service among them,
// and only `history --from` and the messages to URLs use them.

#include <curl/curl.h>

namespace brixctl {

struct CurlApi {
    decltype(&curl_easy_init) init = nullptr;
    decltype(&curl_easy_setopt) setopt = nullptr;
    decltype(&curl_easy_perform) perform = nullptr;
    decltype(&curl_easy_getinfo) getinfo = nullptr;
    decltype(&curl_easy_cleanup) cleanup = nullptr;
    decltype(&curl_easy_strerror) strerror = nullptr;
    decltype(&curl_slist_append) slistAppend = nullptr;
    decltype(&curl_slist_free_all) slistFree = nullptr;
};

// The library's functions; nullptr when libcurl.so.4 cannot be loaded. Any thread.
const CurlApi* curlApi();

// What to tell when curlApi() is nullptr.
inline constexpr char kNoCurl[] =
    "libcurl (libcurl.so.4) cannot be loaded: install the libcurl4 package";

}  // namespace brixctl
