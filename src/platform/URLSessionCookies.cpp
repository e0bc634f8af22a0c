// The process's cookie store: libcurl's cookie engine behind one share handle, so that every
// session's transfers see the same cookies. It is never given a jar file, so cookies stay in
// memory.
#include <curl/curl.h>

#include <mutex>

#include "platform/LibraryLifetime.h"
#include "platform/URLSession.h"
#include "platform/URLSessionTransfer.h"

namespace quarra {
namespace {

// One lock per kind of shared data (the cookies, and the share's own bookkeeping), as libcurl may
// take them one inside the other.
std::recursive_mutex locks[CURL_LOCK_DATA_LAST];

void lockCookies(CURL*, curl_lock_data data, curl_lock_access, void*) {
    locks[data].lock();
}

void unlockCookies(CURL*, curl_lock_data data, void*) {
    locks[data].unlock();
}

}  // namespace

CURLSH* httpCookieShare() {
    // Made once and kept for the life of the process: transfers of any session may hold it.
    static CURLSH* share = [] {
        initializeCurlOnce();
        CURLSH* made = curl_share_init();
        curl_share_setopt(made, CURLSHOPT_LOCKFUNC, &lockCookies);
        curl_share_setopt(made, CURLSHOPT_UNLOCKFUNC, &unlockCookies);
        curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        return made;
    }();
    return share;
}

void HTTPCookieStorage::removeAllCookies() {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_SHARE, httpCookieShare());
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, "ALL");
    curl_easy_cleanup(easy);
}

}  // namespace quarra
