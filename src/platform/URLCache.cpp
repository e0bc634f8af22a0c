#include "platform/URLCache.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace quarra {
namespace {

std::string lowered(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::size_t sizeOf(const CachedURLResponse& cached) {
    std::size_t size = cached.data.size() + 256;
    for (const auto& [name, value] : cached.response->headers) {
        size += name.size() + value.size();
    }
    return size;
}

CacheControl cacheControlOf(const std::optional<std::string>& header) {
    return CacheControl::parse(header.value_or(""));
}

}  // namespace

CacheControl CacheControl::parse(const std::string& header) {
    CacheControl control;
    std::string_view rest = header;
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string directive = lowered(trimmed(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        std::size_t equals = directive.find('=');
        std::string name(trimmed(std::string_view(directive).substr(0, equals)));
        std::string value =
            equals == std::string::npos ? "" : std::string(trimmed(directive.substr(equals + 1)));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (name == "no-store") {
            control.noStore = true;
        } else if (name == "no-cache") {
            control.noCache = true;
        } else if (name == "max-age") {
            // An unreadable max-age makes the reply stale (RFC 9111, 4.2.1).
            bool digits = !value.empty() && value.size() <= 12 &&
                          std::all_of(value.begin(), value.end(), ::isdigit);
            std::int64_t seconds = digits ? std::stoll(value) : 0;
            control.maxAge = control.maxAge ? std::min(*control.maxAge, seconds) : seconds;
        }
    }
    return control;
}

std::shared_ptr<URLCache> URLCache::make(std::size_t memoryCapacity) {
    return std::shared_ptr<URLCache>(new URLCache(memoryCapacity));
}

std::string URLCache::key(const UrlRequest& request) {
    // A reply to one credential is never served to a request made with another.
    std::string key = request.url.string();
    if (auto authorization = request.valueForHTTPHeaderField("Authorization")) {
        key += '\n';
        key += *authorization;
    }
    return key;
}

CachedURLResponsePtr URLCache::cachedResponse(const UrlRequest& request) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key(request));
    if (it == entries_.end()) {
        return nullptr;
    }
    recent_.splice(recent_.begin(), recent_, it->second.position);
    return it->second.response;
}

void URLCache::storeCachedResponse(CachedURLResponsePtr response, const UrlRequest& request) {
    if (!response || !response->response) {
        return;
    }
    std::size_t size = sizeOf(*response);
    std::lock_guard lock(mutex_);
    removeLocked(key(request));
    if (size > capacity_ / 20) {
        return;
    }
    recent_.push_front(key(request));
    entries_[recent_.front()] = Entry{std::move(response), recent_.begin()};
    usage_ += size;
    evictLocked();
}

void URLCache::evictLocked() {
    while (usage_ > capacity_ && !recent_.empty()) {
        auto it = entries_.find(recent_.back());
        usage_ -= sizeOf(*it->second.response);
        entries_.erase(it);
        recent_.pop_back();
    }
}

void URLCache::removeCachedResponse(const UrlRequest& request) {
    std::lock_guard lock(mutex_);
    removeLocked(key(request));
}

void URLCache::removeLocked(const std::string& key) {
    auto it = entries_.find(key);
    if (it != entries_.end()) {
        usage_ -= sizeOf(*it->second.response);
        recent_.erase(it->second.position);
        entries_.erase(it);
    }
}

void URLCache::removeAllCachedResponses() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    recent_.clear();
    usage_ = 0;
}

std::size_t URLCache::currentMemoryUsage() const {
    std::lock_guard lock(mutex_);
    return usage_;
}

bool URLCache::isStorable(const UrlRequest& request, const HttpResponse& response) {
    if (request.httpMethod != "GET" || response.statusCode != 200 ||
        cacheControlOf(request.valueForHTTPHeaderField("Cache-Control")).noStore) {
        return false;
    }
    CacheControl control = cacheControlOf(response.valueForHTTPHeaderField("Cache-Control"));
    if (control.noStore) {
        return false;
    }
    // Replies that differ by request headers would be served to the wrong request.
    if (auto vary = response.valueForHTTPHeaderField("Vary")) {
        if (lowered(trimmed(*vary)) != "accept-encoding") {
            return false;
        }
    }
    return control.maxAge || response.valueForHTTPHeaderField("ETag") ||
           response.valueForHTTPHeaderField("Last-Modified");
}

bool URLCache::isFresh(const CachedURLResponse& cached, const UrlRequest& request,
                       Clock::time_point now) {
    CacheControl asked = cacheControlOf(request.valueForHTTPHeaderField("Cache-Control"));
    CacheControl control =
        cacheControlOf(cached.response->valueForHTTPHeaderField("Cache-Control"));
    if (asked.noCache || control.noCache || !control.maxAge) {
        return false;
    }
    std::int64_t age =
        std::chrono::duration_cast<std::chrono::seconds>(now - cached.storedAt).count();
    if (auto header = cached.response->valueForHTTPHeaderField("Age")) {
        age += std::max<std::int64_t>(0, std::atoll(header->c_str()));
    }
    std::int64_t lifetime =
        asked.maxAge ? std::min(*asked.maxAge, *control.maxAge) : *control.maxAge;
    return age < lifetime;
}

}  // namespace quarra
