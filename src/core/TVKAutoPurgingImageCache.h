#pragma once
// The image cache of document thumbnails: the purging memory cache in front of a per-user tier of
// encrypted image files. Files live in the signed-in user's "thumbnails" folder under the SHA-256
// (hex) of the identifier, so no identifier can name a path, and hold the image's encoded bytes in
// the SDK's encrypted file format with the user's file key. A downloaded image that carries its
// encoded bytes (Image::encodedData) is written to disk as it enters the cache; an existing file
// is never rewritten.
//
// Every operation works for the user signed in at the moment of the call; nobody signed in
// disables the cache (lookups miss, additions and removals do nothing). File operations run one at
// a time on the storage queue: writes and deletions asynchronously, reads synchronously.
//
// Safe to use from any thread.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "quarra/Dispatch.h"
#include "transport/HTAutoPurgingImageCache.h"

namespace quarra {

class TVKAutoPurgingImageCache : public HTAutoPurgingImageCache {
  public:
    static constexpr const char* StorageQueueLabel =
        "com.tovik.quarra_mobile_sdk.thumbnails_storage_queue";

    static std::shared_ptr<TVKAutoPurgingImageCache> make();

    const DispatchQueuePtr& syncStorageQueue() const { return syncStorageQueue_; }

    // Memory tier, then the user's file (decrypted, decoded and put in the memory tier). A file
    // that cannot be decrypted or decoded is a miss; it is deleted, so that the next download of
    // the image can store it afresh.
    ImagePtr imageWithIdentifier(const std::string& identifier) override;
    // Memory tier; an image carrying its encoded bytes also goes to disk.
    void addImage(ImagePtr image, const std::string& identifier) override;
    // Memory tier, then an encrypted file of `imageData` unless one exists.
    void addImage(ImagePtr image, const Bytes& imageData, const std::string& identifier);
    // Memory tier, then the file, only when the memory tier held the image; true in that case.
    bool removeImageWithIdentifier(const std::string& identifier) override;
    // The memory tier only: files stay for the user's next session.
    bool removeAllImages() override;

    // The file of `identifier` for `username`; nothing for a refused user name.
    static std::optional<std::filesystem::path> fileForIdentifier(const std::string& identifier,
                                                                  const std::string& username);

    using HTAutoPurgingImageCache::addImage;

  private:
    TVKAutoPurgingImageCache();

    const DispatchQueuePtr syncStorageQueue_;
};

using TVKAutoPurgingImageCachePtr = std::shared_ptr<TVKAutoPurgingImageCache>;

}  // namespace quarra
