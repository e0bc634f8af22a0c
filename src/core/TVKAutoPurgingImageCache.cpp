#include "core/TVKAutoPurgingImageCache.h"

#include <system_error>

#include "core/TVKQuarraConfigurationManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Hex.h"
#include "quarra/TVKErrors.h"
#include "sso/SSOTokenUtilities.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {
namespace fs = std::filesystem;

namespace {

// TVKCryptographyErrorDomain: the bytes are no message of the key.
constexpr long kDecryptionFailedCode = -4;

// The user the cache works for now; nothing when nobody is signed in.
std::optional<std::string> activeUsername() {
    auto username = TVKQuarraConfigurationManager::sharedInstance().currentUsername();
    if (!username || username->empty())
        return std::nullopt;
    return username;
}

void removeFile(const fs::path& file) {
    std::error_code ec;
    if (!fs::remove(file, ec) && ec)
        TVK_LOG_ERROR("Unexpected error removing thumbnail file:" + ec.message());
}

}  // namespace

TVKAutoPurgingImageCache::TVKAutoPurgingImageCache()
    : HTAutoPurgingImageCache(DefaultMemoryCapacity, DefaultPreferredMemoryUsageAfterPurge),
      syncStorageQueue_(DispatchQueue::concurrent(StorageQueueLabel)) {}

std::shared_ptr<TVKAutoPurgingImageCache> TVKAutoPurgingImageCache::make() {
    std::shared_ptr<TVKAutoPurgingImageCache> cache(new TVKAutoPurgingImageCache());
    cache->observeMemoryWarnings();
    return cache;
}

std::optional<fs::path> TVKAutoPurgingImageCache::fileForIdentifier(const std::string& identifier,
                                                                    const std::string& username) {
    // Hashed: an identifier is a URL, full of "/" and of any length.
    auto file = TVKQuarraConfigurationManager::sharedInstance().thumbnailURLForImageName(
        hexString(SSOTokenUtilities::sha256(identifier)), username);
    if (!file) {
        TVK_LOG_ERROR("Unexpected error finding thumbnail file:" + file.error()->description());
        return std::nullopt;
    }
    return std::move(file).value();
}

ImagePtr TVKAutoPurgingImageCache::imageWithIdentifier(const std::string& identifier) {
    auto username = activeUsername();
    if (!username)
        return nullptr;
    if (ImagePtr image = HTAutoPurgingImageCache::imageWithIdentifier(identifier))
        return image;
    auto file = fileForIdentifier(identifier, *username);
    if (!file)
        return nullptr;
    ImagePtr image;
    syncStorageQueue_->syncBarrier([&] {
        std::error_code ec;
        if (!fs::exists(*file, ec))
            return;
        auto data = TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(*file);
        if (!data) {
            ErrorPtr error = data.error();
            TVK_LOG_ERROR("Unexpected error decrypting thumbnail image:" + error->description());
            // Only a file that is no message of this user's key is dropped: without a key or a
            // user it may still be read later.
            if (error->domain() == TVKCryptographyErrorDomain &&
                error->code() == kDecryptionFailedCode)
                removeFile(*file);
            return;
        }
        auto decoded = Image::decode(*data);
        if (!decoded) {
            removeFile(*file);
            return;
        }
        image = *decoded;
        addImage(image, *data, identifier);
    });
    return image;
}

void TVKAutoPurgingImageCache::addImage(ImagePtr image, const std::string& identifier) {
    if (image && image->encodedData()) {
        auto data = image->encodedData();
        addImage(std::move(image), *data, identifier);
        return;
    }
    if (activeUsername())
        HTAutoPurgingImageCache::addImage(std::move(image), identifier);
}

void TVKAutoPurgingImageCache::addImage(ImagePtr image, const Bytes& imageData,
                                        const std::string& identifier) {
    auto username = activeUsername();
    if (!username)
        return;
    HTAutoPurgingImageCache::addImage(std::move(image), identifier);
    syncStorageQueue_->asyncBarrier([identifier, username = *username, imageData] {
        auto file = fileForIdentifier(identifier, username);
        if (!file)
            return;
        std::error_code ec;
        if (fs::exists(*file, ec))
            return;
        // The folder is made on the first write; a user who never sees a thumbnail has none. The
        // name was accepted for `file` already, and a folder that cannot be made fails the write.
        (void)TVKQuarraConfigurationManager::sharedInstance().thumbnailsDirectoryForUsername(
            username, true);
        if (ErrorPtr error = TVKQuarraCryptManager::sharedInstance().createEncryptedFileAtPath(
                *file, ByteView(imageData), Json::object()))
            TVK_LOG_ERROR("Unexpected error encrypting thumbnail image:" + error->description());
    });
}

bool TVKAutoPurgingImageCache::removeImageWithIdentifier(const std::string& identifier) {
    auto username = activeUsername();
    if (!username)
        return false;
    if (!HTAutoPurgingImageCache::removeImageWithIdentifier(identifier))
        return false;
    syncStorageQueue_->asyncBarrier([identifier, username = *username] {
        if (auto file = fileForIdentifier(identifier, username))
            removeFile(*file);
    });
    return true;
}

bool TVKAutoPurgingImageCache::removeAllImages() {
    return HTAutoPurgingImageCache::removeAllImages();
}

}  // namespace quarra
