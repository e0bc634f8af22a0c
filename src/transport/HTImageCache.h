#pragma once
// What the image downloader and the image views ask of an image cache, so that a caller can supply
// its own: images kept under string identifiers, and the same operations keyed by URL request
// (the request's URL with an optional additional identifier appended).
#include <optional>
#include <string>

#include "quarra/Image.h"
#include "quarra/UrlRequest.h"

namespace quarra {

class HTImageCache {
  public:
    virtual ~HTImageCache() = default;
    // `image` may be null: an entry that answers lookups with null.
    virtual void addImage(ImagePtr image, const std::string& identifier) = 0;
    virtual bool removeImageWithIdentifier(const std::string& identifier) = 0;
    virtual bool removeAllImages() = 0;
    virtual ImagePtr imageWithIdentifier(const std::string& identifier) = 0;
};

class HTImageRequestCache : public HTImageCache {
  public:
    using HTImageCache::addImage;
    virtual bool shouldCacheImage(const ImagePtr& image, const UrlRequest& request,
                                  const std::optional<std::string>& additionalIdentifier) = 0;
    virtual void addImage(ImagePtr image, const UrlRequest& request,
                          const std::optional<std::string>& additionalIdentifier) = 0;
    virtual bool removeImageforRequest(const UrlRequest& request,
                                       const std::optional<std::string>& additionalIdentifier) = 0;
    virtual ImagePtr imageforRequest(const UrlRequest& request,
                                     const std::optional<std::string>& additionalIdentifier) = 0;
};

}  // namespace quarra
