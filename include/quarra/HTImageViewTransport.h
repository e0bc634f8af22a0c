#pragma once
// Image views and buttons that show an image loaded from a URL request: the cached image at once
// when the image cache has it, otherwise an optional placeholder until the image downloader
// delivers. Each view remembers the receipt of its one active download (a button one per state,
// for the image and for the background image), so that a request for another URL withdraws the
// view's interest in the previous one and a late result of an older request never overwrites a
// newer one. A view that goes away while its download runs is held only weakly: the download goes
// on for the other requesters and for the cache.
//
// Each view class has a downloader of its own (setSharedImageDownloader); a class that has none,
// subclasses included, uses the process-wide default downloader. Image views and buttons keep
// theirs apart.
//
// Main thread only, as views are. Success blocks get (request, response or null, image), failure
// blocks (request, response or null, error); they run on the main queue, or at once on the
// calling thread for a cache hit (and for an image view's request without URL).
#include <cstdint>
#include <memory>
#include <typeindex>
#include <typeinfo>

#include "quarra/HTImageDownloaderFwd.h"
#include "quarra/Image.h"
#include "quarra/Url.h"
#include "quarra/UrlRequest.h"
#include "quarra/ui/Button.h"
#include "quarra/ui/ImageView.h"

namespace quarra {

// The downloader of exactly `viewClass`; the default instance when none was set on it.
HTImageDownloaderPtr sharedImageDownloaderForClass(std::type_index viewClass);
// A null downloader returns the class to the default instance.
void setSharedImageDownloaderForClass(std::type_index viewClass, HTImageDownloaderPtr downloader);

template <class ViewClass>
HTImageDownloaderPtr sharedImageDownloader() {
    return sharedImageDownloaderForClass(typeid(ViewClass));
}
template <class ViewClass>
void setSharedImageDownloader(HTImageDownloaderPtr downloader) {
    setSharedImageDownloaderForClass(typeid(ViewClass), std::move(downloader));
}

// ---- Image views

using ImageViewPtr = std::shared_ptr<ui::ImageView>;

// A request for `url` accepting "image/*", with no blocks.
void setImageWithURL(const ImageViewPtr& view, const Url& url, ImagePtr placeholder = nullptr);
// Without URL: the view shows the placeholder (null included) and `failure` gets URLErrorBadURL
// before this returns; a download already running for the view still delivers. The URL the view
// is already loading: nothing happens. Otherwise the previous download is cancelled, and a cache
// hit goes to `success` (the view's image left alone) or, without one, into the view. A miss shows
// the placeholder when there is one and starts a download whose result reaches `success` or
// `failure` (without `success`, a non-null image goes into the view) unless the view has moved on
// to another request by then.
void setImageWithURLRequest(const ImageViewPtr& view, const UrlRequest& request,
                            ImagePtr placeholder, HTImageDownloadSuccessBlock success = nullptr,
                            HTImageDownloadFailureBlock failure = nullptr);
// Withdraws the view's active download (its blocks are not called) and forgets the receipt.
void cancelImageDownloadTask(const ImageViewPtr& view);
void clearActiveDownloadInformation(const ImageViewPtr& view);
// Whether the active download's original URL is the request's; false without one.
bool isActiveTaskURLEqualToURLRequest(const ImageViewPtr& view, const UrlRequest& request);
HTImageDownloadReceiptPtr activeImageDownloadReceipt(const ui::ImageView& view);
void setActiveImageDownloadReceipt(ui::ImageView& view, HTImageDownloadReceiptPtr receipt);

// ---- Buttons: one slot per state (normal, highlighted, disabled, selected; any other state,
// combined ones included, uses the normal slot), for the image and for the background image.
// A request without URL is no special case: it shows the placeholder and calls neither block.

using ButtonPtr = std::shared_ptr<ui::Button>;

void setImageForState(const ButtonPtr& button, std::uint64_t state, const Url& url,
                      ImagePtr placeholder = nullptr);
void setImageForState(const ButtonPtr& button, std::uint64_t state, const UrlRequest& request,
                      ImagePtr placeholder, HTImageDownloadSuccessBlock success = nullptr,
                      HTImageDownloadFailureBlock failure = nullptr);
void setBackgroundImageForState(const ButtonPtr& button, std::uint64_t state, const Url& url,
                                ImagePtr placeholder = nullptr);
void setBackgroundImageForState(const ButtonPtr& button, std::uint64_t state,
                                const UrlRequest& request, ImagePtr placeholder,
                                HTImageDownloadSuccessBlock success = nullptr,
                                HTImageDownloadFailureBlock failure = nullptr);
void cancelImageDownloadTaskForState(const ButtonPtr& button, std::uint64_t state);
void cancelBackgroundImageDownloadTaskForState(const ButtonPtr& button, std::uint64_t state);
bool isActiveTaskURLEqualToURLRequest(const ButtonPtr& button, const UrlRequest& request,
                                      std::uint64_t state);
bool isActiveBackgroundTaskURLEqualToURLRequest(const ButtonPtr& button, const UrlRequest& request,
                                                std::uint64_t state);
HTImageDownloadReceiptPtr imageDownloadReceiptForState(const ui::Button& button,
                                                       std::uint64_t state);
void setImageDownloadReceipt(ui::Button& button, HTImageDownloadReceiptPtr receipt,
                             std::uint64_t state);
HTImageDownloadReceiptPtr backgroundImageDownloadReceiptForState(const ui::Button& button,
                                                                 std::uint64_t state);
void setBackgroundImageDownloadReceipt(ui::Button& button, HTImageDownloadReceiptPtr receipt,
                                       std::uint64_t state);

}  // namespace quarra
