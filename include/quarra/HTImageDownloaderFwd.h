#pragma once
// The image downloader as the image view categories hand it out: a downloader and a download's
// receipt are handles a host passes back (to another view class, to a view), never builds.
#include <functional>
#include <memory>

#include "quarra/Error.h"
#include "quarra/HttpResponse.h"
#include "quarra/Image.h"
#include "quarra/UrlRequest.h"

namespace quarra {

class HTImageDownloader;
class HTImageDownloadReceipt;
using HTImageDownloaderPtr = std::shared_ptr<HTImageDownloader>;
using HTImageDownloadReceiptPtr = std::shared_ptr<HTImageDownloadReceipt>;

// The request; the response (null for a cache hit or a cancellation); the image (may be null).
using HTImageDownloadSuccessBlock = std::function<void(
    const UrlRequest& request, const HttpResponsePtr& response, const ImagePtr& image)>;
using HTImageDownloadFailureBlock = std::function<void(
    const UrlRequest& request, const HttpResponsePtr& response, const ErrorPtr& error)>;

}  // namespace quarra
