#pragma once
// A cache of HTTP replies held in memory only: replies to authenticated requests must never land in
// plaintext files. A session whose configuration names a cache serves a fresh reply from it
// without asking the server, and revalidates a stale one (If-None-Match, If-Modified-Since; a 304
// serves the kept body). Replies are kept by URL and the request's credentials (Authorization), so
// one session's reply never answers another's request. Thread-safe.
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "quarra/Bytes.h"
#include "quarra/Dispatch.h"
#include "quarra/HttpResponse.h"
#include "quarra/UrlRequest.h"

namespace quarra {

struct CachedURLResponse {
    HttpResponsePtr response;
    Bytes data;
    Clock::time_point storedAt = Clock::now();
};
using CachedURLResponsePtr = std::shared_ptr<const CachedURLResponse>;

// What a Cache-Control header says, as far as a private cache needs it.
struct CacheControl {
    bool noStore = false;
    bool noCache = false;
    std::optional<std::int64_t> maxAge;  // seconds
    static CacheControl parse(const std::string& header);
};

class URLCache {
  public:
    // Entries larger than a twentieth of the capacity are not kept.
    static std::shared_ptr<URLCache> make(std::size_t memoryCapacity);
    URLCache(const URLCache&) = delete;
    URLCache& operator=(const URLCache&) = delete;

    CachedURLResponsePtr cachedResponse(const UrlRequest& request);
    void storeCachedResponse(CachedURLResponsePtr response, const UrlRequest& request);
    void removeCachedResponse(const UrlRequest& request);
    void removeAllCachedResponses();
    std::size_t memoryCapacity() const { return capacity_; }
    std::size_t currentMemoryUsage() const;

    // Whether a reply to `request` may be kept at all (GET, 200, no no-store on either side, no
    // Vary beyond Accept-Encoding, and something to judge it by later: max-age or a validator).
    static bool isStorable(const UrlRequest& request, const HttpResponse& response);
    // Whether `cached` may be used for `request` without asking the server.
    static bool isFresh(const CachedURLResponse& cached, const UrlRequest& request,
                        Clock::time_point now = Clock::now());

  private:
    explicit URLCache(std::size_t capacity) : capacity_(capacity) {}
    static std::string key(const UrlRequest& request);
    void evictLocked();
    void removeLocked(const std::string& key);

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::list<std::string> recent_;  // most recently used first
    struct Entry {
        CachedURLResponsePtr response;
        std::list<std::string>::iterator position;
    };
    std::unordered_map<std::string, Entry> entries_;
    std::size_t usage_ = 0;
};

using URLCachePtr = std::shared_ptr<URLCache>;

}  // namespace quarra
