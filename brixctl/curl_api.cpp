#include "brixctl/curl_api.h"

#include <dlfcn.h>

#include <type_traits>

namespace brixctl {

const CurlApi* curlApi() {
    static const CurlApi* const loaded = []() -> const CurlApi* {
        void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr)
            return nullptr;
        static CurlApi c;
        const auto find = [lib](auto& f, const char* name) {
            f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(::dlsym(lib, name));
            return f != nullptr;
        };
        if (!find(c.init, "curl_easy_init") || !find(c.setopt, "curl_easy_setopt") ||
            !find(c.perform, "curl_easy_perform") || !find(c.getinfo, "curl_easy_getinfo") ||
            !find(c.cleanup, "curl_easy_cleanup") || !find(c.strerror, "curl_easy_strerror") ||
            !find(c.slistAppend, "curl_slist_append") || !find(c.slistFree, "curl_slist_free_all"))
            return nullptr;
        // Once, before any thread transfers: curl_easy_init would do it unguarded.
        if (const auto global =
                reinterpret_cast<CURLcode (*)(long)>(::dlsym(lib, "curl_global_init")))
            global(CURL_GLOBAL_DEFAULT);
        return &c;
    }();
    return loaded;
}

}  // namespace brixctl
