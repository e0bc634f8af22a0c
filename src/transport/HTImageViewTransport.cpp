#include "quarra/HTImageViewTransport.h"

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/URLError.h"
#include "platform/Uuid.h"
#include "transport/HTImageDownloader.h"

namespace quarra {

namespace {

std::mutex& downloadersMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unordered_map<std::type_index, HTImageDownloaderPtr>& downloaders() {
    // Never destroyed: their downloads may still finish while the process exits.
    static auto& map = *new std::unordered_map<std::type_index, HTImageDownloaderPtr>();
    return map;
}

// The keys receipts are stored under: their addresses are what counts.
const char activeReceiptKey = 0;
const char imageReceiptKeys[4] = {};
const char backgroundImageReceiptKeys[4] = {};

// Normal, highlighted, disabled and selected have slots of their own; every other state, combined
// ones included, shares the normal one.
const void* buttonReceiptKey(std::uint64_t state, bool background) {
    std::size_t index = 0;
    switch (state) {
        case ui::ControlStateHighlighted:
            index = 1;
            break;
        case ui::ControlStateDisabled:
            index = 2;
            break;
        case ui::ControlStateSelected:
            index = 3;
            break;
        default:
            break;
    }
    return background ? &backgroundImageReceiptKeys[index] : &imageReceiptKeys[index];
}

HTImageDownloadReceiptPtr receiptAt(const ui::AssociatedObjects& owner, const void* key) {
    return owner.associatedObject<HTImageDownloadReceipt>(key);
}

void setReceiptAt(ui::AssociatedObjects& owner, const void* key,
                  HTImageDownloadReceiptPtr receipt) {
    owner.setAssociatedObject(key, std::move(receipt));
}

bool receiptURLEquals(const HTImageDownloadReceiptPtr& receipt, const UrlRequest& request) {
    return receipt && receipt->task() &&
           receipt->task()->originalRequest().url.string() == request.url.string();
}

UrlRequest imageRequest(const Url& url) {
    UrlRequest request(url);
    request.addValue("image/*", "Accept");
    return request;
}

std::string newDownloadIdentifier() {
    if (auto uuid = uuidString())
        return *uuid;
    // Only needs to be unique within the process.
    static std::atomic<unsigned long> counter{0};
    return "download-" + std::to_string(++counter);
}

template <class View>
void cancelSlot(View& view, const void* key) {
    if (HTImageDownloadReceiptPtr receipt = receiptAt(view, key)) {
        sharedImageDownloaderForClass(typeid(view))->cancelTaskForImageDownloadReceipt(receipt);
        setReceiptAt(view, key, nullptr);
    }
}

// Everything after the URL check: one slot of one view, its image shown through `show`.
template <class View, class Show>
void loadSlot(const std::shared_ptr<View>& view, const void* key, Show show,
              const UrlRequest& request, const ImagePtr& placeholder,
              HTImageDownloader::SuccessBlock success, HTImageDownloader::FailureBlock failure) {
    if (receiptURLEquals(receiptAt(*view, key), request))
        return;  // the running download will deliver
    cancelSlot(*view, key);

    HTImageDownloaderPtr downloader = sharedImageDownloaderForClass(typeid(*view));
    if (const auto& cache = downloader->imageCache()) {
        if (ImagePtr cached = cache->imageforRequest(request, std::nullopt)) {
            if (success)
                success(request, nullptr, cached);
            else
                show(*view, cached);
            setReceiptAt(*view, key, nullptr);
            return;
        }
    }

    if (placeholder)
        show(*view, placeholder);
    const std::string downloadID = newDownloadIdentifier();
    std::weak_ptr<View> weakView = view;
    // Each block first takes the slot back, so that a caller's block may start the next request.
    auto claim = [weakView, key, downloadID]() -> std::shared_ptr<View> {
        std::shared_ptr<View> strong = weakView.lock();
        if (!strong)
            return nullptr;
        HTImageDownloadReceiptPtr active = receiptAt(*strong, key);
        if (!active || active->receiptID() != downloadID)
            return nullptr;  // a result for an older request, or a cancelled one
        setReceiptAt(*strong, key, nullptr);
        return strong;
    };
    HTImageDownloadReceiptPtr receipt = downloader->downloadImageForURLRequest(
        request, downloadID,
        [claim, show, success](const UrlRequest& r, const HttpResponsePtr& response,
                               const ImagePtr& image) {
            std::shared_ptr<View> strong = claim();
            if (!strong)
                return;
            if (success)
                success(r, response, image);
            else if (image)
                show(*strong, image);
        },
        [claim, failure](const UrlRequest& r, const HttpResponsePtr& response,
                         const ErrorPtr& error) {
            if (claim() && failure)
                failure(r, response, error);
        });
    // Also a null receipt (an answer from the cache, or a request refused at once): the blocks
    // above then find nothing to claim.
    setReceiptAt(*view, key, std::move(receipt));
}

void showInImageView(ui::ImageView& view, const ImagePtr& image) {
    view.setImage(image);
}

}  // namespace

HTImageDownloaderPtr sharedImageDownloaderForClass(std::type_index viewClass) {
    {
        std::lock_guard lock(downloadersMutex());
        auto it = downloaders().find(viewClass);
        if (it != downloaders().end())
            return it->second;
    }
    return HTImageDownloader::defaultInstance();
}

void setSharedImageDownloaderForClass(std::type_index viewClass, HTImageDownloaderPtr downloader) {
    std::lock_guard lock(downloadersMutex());
    if (downloader)
        downloaders()[viewClass] = std::move(downloader);
    else
        downloaders().erase(viewClass);
}

// ---- Image views

void setImageWithURL(const ImageViewPtr& view, const Url& url, ImagePtr placeholder) {
    setImageWithURLRequest(view, imageRequest(url), std::move(placeholder));
}

void setImageWithURLRequest(const ImageViewPtr& view, const UrlRequest& request,
                            ImagePtr placeholder, HTImageDownloader::SuccessBlock success,
                            HTImageDownloader::FailureBlock failure) {
    if (request.url.string().empty()) {
        view->setImage(placeholder);
        if (failure)
            failure(request, nullptr, makeURLError(URLErrorBadURL, request.url));
        return;
    }
    loadSlot(view, &activeReceiptKey, showInImageView, request, placeholder, std::move(success),
             std::move(failure));
}

void cancelImageDownloadTask(const ImageViewPtr& view) {
    cancelSlot(*view, &activeReceiptKey);
}

void clearActiveDownloadInformation(const ImageViewPtr& view) {
    setReceiptAt(*view, &activeReceiptKey, nullptr);
}

bool isActiveTaskURLEqualToURLRequest(const ImageViewPtr& view, const UrlRequest& request) {
    return receiptURLEquals(activeImageDownloadReceipt(*view), request);
}

HTImageDownloadReceiptPtr activeImageDownloadReceipt(const ui::ImageView& view) {
    return receiptAt(view, &activeReceiptKey);
}

void setActiveImageDownloadReceipt(ui::ImageView& view, HTImageDownloadReceiptPtr receipt) {
    setReceiptAt(view, &activeReceiptKey, std::move(receipt));
}

// ---- Buttons

namespace {

void loadButtonSlot(const ButtonPtr& button, std::uint64_t state, bool background,
                    const UrlRequest& request, const ImagePtr& placeholder,
                    HTImageDownloader::SuccessBlock success,
                    HTImageDownloader::FailureBlock failure) {
    auto show = [state, background](ui::Button& b, const ImagePtr& image) {
        if (background)
            b.setBackgroundImage(image, state);
        else
            b.setImage(image, state);
    };
    loadSlot(button, buttonReceiptKey(state, background), show, request, placeholder,
             std::move(success), std::move(failure));
}

}  // namespace

void setImageForState(const ButtonPtr& button, std::uint64_t state, const Url& url,
                      ImagePtr placeholder) {
    setImageForState(button, state, imageRequest(url), std::move(placeholder));
}

void setImageForState(const ButtonPtr& button, std::uint64_t state, const UrlRequest& request,
                      ImagePtr placeholder, HTImageDownloader::SuccessBlock success,
                      HTImageDownloader::FailureBlock failure) {
    loadButtonSlot(button, state, false, request, placeholder, std::move(success),
                   std::move(failure));
}

void setBackgroundImageForState(const ButtonPtr& button, std::uint64_t state, const Url& url,
                                ImagePtr placeholder) {
    setBackgroundImageForState(button, state, imageRequest(url), std::move(placeholder));
}

void setBackgroundImageForState(const ButtonPtr& button, std::uint64_t state,
                                const UrlRequest& request, ImagePtr placeholder,
                                HTImageDownloader::SuccessBlock success,
                                HTImageDownloader::FailureBlock failure) {
    loadButtonSlot(button, state, true, request, placeholder, std::move(success),
                   std::move(failure));
}

void cancelImageDownloadTaskForState(const ButtonPtr& button, std::uint64_t state) {
    cancelSlot(*button, buttonReceiptKey(state, false));
}

void cancelBackgroundImageDownloadTaskForState(const ButtonPtr& button, std::uint64_t state) {
    cancelSlot(*button, buttonReceiptKey(state, true));
}

bool isActiveTaskURLEqualToURLRequest(const ButtonPtr& button, const UrlRequest& request,
                                      std::uint64_t state) {
    return receiptURLEquals(imageDownloadReceiptForState(*button, state), request);
}

bool isActiveBackgroundTaskURLEqualToURLRequest(const ButtonPtr& button, const UrlRequest& request,
                                                std::uint64_t state) {
    return receiptURLEquals(backgroundImageDownloadReceiptForState(*button, state), request);
}

HTImageDownloadReceiptPtr imageDownloadReceiptForState(const ui::Button& button,
                                                       std::uint64_t state) {
    return receiptAt(button, buttonReceiptKey(state, false));
}

void setImageDownloadReceipt(ui::Button& button, HTImageDownloadReceiptPtr receipt,
                             std::uint64_t state) {
    setReceiptAt(button, buttonReceiptKey(state, false), std::move(receipt));
}

HTImageDownloadReceiptPtr backgroundImageDownloadReceiptForState(const ui::Button& button,
                                                                 std::uint64_t state) {
    return receiptAt(button, buttonReceiptKey(state, true));
}

void setBackgroundImageDownloadReceipt(ui::Button& button, HTImageDownloadReceiptPtr receipt,
                                       std::uint64_t state) {
    setReceiptAt(button, buttonReceiptKey(state, true), std::move(receipt));
}

}  // namespace quarra
