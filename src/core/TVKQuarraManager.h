#pragma once
// The request engine: the one object through which every server call of the SDK leaves the device.
// It builds and issues every request on one serial set-up queue, holds requests back without a
// network, signs in to another Quarra on its own (and once more after the server declared the
// session invalid), and maps replies to the SDK's errors (a reply names a failure by a type
// string, which becomes a domain, a code and a message of the SDK's own, with the server's message
// kept beside it). Handlers run on the main queue.
//
// Every member may be called from any thread. The error mapping has no state.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/TVKPendingTransfers.h"
#include "quarra/Dispatch.h"
#include "quarra/Error.h"
#include "quarra/Image.h"
#include "quarra/Json.h"
#include "quarra/NotificationCenter.h"
#include "quarra/Progress.h"
#include "quarra/Result.h"
#include "quarra/TVKErrors.h"
#include "quarra/TVKQuarra.h"
#include "quarra/TVKQuarraRequestTypes.h"
#include "quarra/Url.h"
#include "quarra/UrlRequest.h"

namespace quarra {

class HTHTTPSessionManager;
class HTImageDownloader;
namespace ui {
class ImageView;
}  // namespace ui

class TVKQuarraManager {
  public:
    // The first call builds the session managers and starts watching the network.
    static TVKQuarraManager& sharedInstance();

    TVKQuarraManager(const TVKQuarraManager&) = delete;
    TVKQuarraManager& operator=(const TVKQuarraManager&) = delete;

    // Null when the network is reachable, else TVKNetworkErrorDomain -1 "No network connection".
    // Never waits: before the first network status has been delivered it asks the network itself.
    [[nodiscard]] ErrorPtr isConnectedToNetwork() const;

    // A request to the sign-in host ("auth/discovery", "auth/api"): form-encoded, no
    // "Authorization". `authDNS` is a host name, with ":port" when not the default.
    void requestAuthEndpoint(const std::string& endpoint, const std::string& authDNS,
                             unsigned long method, const Json& parameters,
                             TVKQuarraRequestHandler handler);
    // POST to the full URL `endpoint` with "Authorization: Bearer <idToken>" and "client_id",
    // trading an identity-provider token for a session. Sent without consulting the network gate.
    void requestExchangeTokenForSessionEndpoint(const std::string& endpoint,
                                                const std::string& idToken,
                                                const std::string& clientId,
                                                TVKQuarraRequestHandler handler);
    // A request to `quarra`'s API. When `quarra` is not the signed-in user's current Quarra the
    // engine first signs in to it; when the server answers that the session is invalid it signs in
    // again and sends the request once more. After the handler a log upload is started.
    void requestQuarraEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                               unsigned long method, const Json& parameters,
                               unsigned long parameterEncoding, TVKQuarraRequestHandler handler);
    // The same without implicit sign-in, resend or log upload ("auth", "objects/users/me",
    // "client/log"). "Authorization" carries the session id except for the sign-in endpoints.
    void requestQuarraEndpointInternal(const std::string& endpoint, TVKQuarraPtr quarra,
                                       unsigned long method, const Json& parameters,
                                       unsigned long parameterEncoding,
                                       TVKQuarraRequestHandler handler);

    // The implicit sign-in step. `requestEndpointBlock` sends the request with the completion it is
    // given; it runs on the set-up queue, after the network gate. A finished request starts a log
    // upload unless `startsLogUpload` is false (the upload's own requests).
    using RequestEndpointBlock = std::function<void(TVKQuarraRequestHandler completion)>;
    void maybeDoImplicitLoginToQuarra(TVKQuarraPtr quarra,
                                      RequestEndpointBlock requestEndpointBlock,
                                      TVKQuarraRequestHandler completeHandler,
                                      bool startsLogUpload = true);

    // Issues one request through `sessionManager` with `authorization` as its own
    // "Authorization" header (none: no such header) and delivers the outcome on the main queue.
    // REQUIRES: called on the set-up queue.
    void requestUrl(const std::string& url, unsigned long method, const Json& parameters,
                    const std::shared_ptr<HTHTTPSessionManager>& sessionManager,
                    const std::optional<std::string>& authorization,
                    TVKQuarraRequestHandler handler);

    // The reply as it may be written to the log: session ids masked, a successful reply about the
    // signed-in user reduced to its status.
    static Json redactedResponse(const Json& response, const std::string& url);
    // "https://<authDNS>/<endpoint>".
    static std::string urlForAuthEndpoint(const std::string& endpoint, const std::string& authDNS);
    // "https://<quarraDNS>/api/v<API version>/<endpoint>"; the endpoint is inserted as it is.
    static std::string urlForQuarraEndpoint(const std::string& endpoint,
                                            const std::string& quarraDNS);
    // False for exactly "auth", "auth/discovery" and "auth/api".
    static bool endpointRequiresAuthorization(std::string_view endpoint);
    // The host (with ":port" when it has one) requests to `quarra` go to.
    static std::string quarraDNS(const TVKQuarra& quarra);

    // The manager for an encoding code; null for other codes.
    std::shared_ptr<HTHTTPSessionManager> sessionManagerWithParameterEncoding(
        unsigned long parameterEncoding) const;
    std::shared_ptr<HTHTTPSessionManager> formURLEncodedSessionManager() const;
    std::shared_ptr<HTHTTPSessionManager> jsonEncodedSessionManager() const;
    std::shared_ptr<HTHTTPSessionManager> backgroundSessionManager() const;
    const std::string& backgroundSessionIdentifier() const { return backgroundSessionIdentifier_; }
    const DispatchQueuePtr& sessionManagersQueue() const { return sessionManagersQueue_; }

    // --- Background transfers. Their results reach the caller's handler when the transfer ends in
    // this process; after a relaunch they reach the background result handlers below, once. A
    // transfer is recorded when asked for and forgotten only after its handler has returned: a
    // crash delivers its result at the next launch (a second time, with the same file and reply,
    // only when the crash came while the handler ran).

    // Uploads the file at `fileURL` (decrypted first when `isEncrypted`) as the multipart part
    // "file" beside the form `parameters`, with "PUT" for method code 3 and "POST" otherwise.
    // Always signs in to `quarra` afresh first. The body is written to a file under the uploads
    // directory and sent from there by the background session. Refused before anything is signed
    // in or sent: no network, a file that cannot be read, a file above TVKMaximumUploadFileSize
    // (TVKAPIErrorDomain -1).
    void requestQuarraMultipartFormEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                                            const Url& fileURL, bool isEncrypted,
                                            unsigned long method, const Json& parameters,
                                            TVKQuarraProgressHandler progressHandler,
                                            TVKQuarraUploadHandler completeHandler);
    // Downloads `endpoint` (a GET with `parameters` in the query) on the background session and
    // stores it at `fileURL`, encrypted with the signed-in user's key when `encrypt`. A plain
    // copy never replaces an existing file. A JSON server reply in place of the file is answered
    // as the SDK's error. `fileURL` must be a file URL (TVKAPIErrorDomain -1 "Invalid download
    // location").
    void requestQuarraDownloadFileEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                                           const Url& fileURL, bool encrypt, const Json& parameters,
                                           TVKQuarraProgressHandler progressHandler,
                                           TVKQuarraDownloadHandler completionHandler);

    // Receive the results of transfers whose caller is gone (a relaunch); replaced by the next
    // call. Until one is set such results wait, with their files, in the pending records.
    void setBackgroundUploadResultHandler(TVKQuarraUploadHandler handler);
    void setBackgroundDownloadResultHandler(TVKQuarraDownloadHandler handler);
    // Keeps the system's handler for the engine's own background session and calls it once, on
    // the main queue, when that session has delivered its events; another identifier's handler
    // is neither kept nor called.
    void setCompletionHandler(std::function<void()> handler, const std::string& identifier);

    // Delivers one task's result once: calls `handler` on the main queue, and only when it has
    // returned removes the record, then its file, then what the background session keeps of the
    // task. A task without (unclaimed) record was delivered before: nothing reaches `handler`.
    void handleResponseForUploadTaskId(const Json& response, std::uint64_t taskId,
                                       const ErrorPtr& error, TVKQuarraUploadHandler handler);
    void handleResponseForDownloadTaskId(const Json& response, std::uint64_t taskId,
                                         const ErrorPtr& error, TVKQuarraDownloadHandler handler);
    // A downloaded JSON file that is a server reply (an object with "responseStatus" or
    // "errors"): the reply, whose error errorFromResponse gives. Anything else (a JSON document
    // that is the file itself, a file too large to be a reply) is null: no reply, no error.
    static Json checkFileAtPath(const std::filesystem::path& path);

    TVKPendingTransfers& pendingTransfers() { return pendingTransfers_; }

    // Cancels every running task of the three managers and rebuilds them; returns when done.
    // REQUIRES: not called on the set-up queue.
    void cancelAllRequests();

    // The error a reply stands for, or null when it reports success. A reply whose "responseStatus"
    // is not "SUCCESS" and that names no known failure (including a reply of the wrong shape) gives
    // defaultError().
    static ErrorPtr errorFromResponse(const Json& response);

    // Each gives its error when the reply's failure type is its own, else null.
    static ErrorPtr errorIfInvalidUsernamePassword(const Json& response);
    static ErrorPtr errorIfInvalidSessionId(const Json& response);
    static ErrorPtr errorIfInsufficientAccess(const Json& response);
    static ErrorPtr errorIfUserLockedOut(const Json& response);
    static ErrorPtr errorIfOperationNotAllowed(const Json& response);
    static ErrorPtr errorIfAPIOperationNotSupported(const Json& response);
    static ErrorPtr errorIfDownForMaintenance(const Json& response);
    static ErrorPtr errorIfPasscodeChangeRequired(const Json& response);
    static ErrorPtr errorIfInactiveUser(const Json& response);
    static ErrorPtr errorIfNoActiveQuarras(const Json& response);
    static ErrorPtr errorIfSoleInactiveQuarra(const Json& response);
    static ErrorPtr errorIfConfigurationModeEnabled(const Json& response);
    static ErrorPtr errorIfIPRange(const Json& response);
    static ErrorPtr errorIfSoleProtectedTemplateQuarra(const Json& response);
    static ErrorPtr errorIfInvalidData(const Json& response);
    static ErrorPtr errorIfParameterRequired(const Json& response);
    static ErrorPtr errorIfMaxFileSizeExceeded(const Json& response);
    static ErrorPtr errorIfMethodNotSupported(const Json& response);
    static ErrorPtr errorIfInvalidToken(const Json& response);
    static ErrorPtr errorIfExpiredToken(const Json& response);
    static ErrorPtr errorIfInvalidConfiguration(const Json& response);
    static ErrorPtr errorIfMalformedURL(const Json& response);
    static ErrorPtr errorIfInvalidFilter(const Json& response);
    static ErrorPtr errorIfInvalidDocument(const Json& response);

    // The exception-domain error -1 for a reply that names no known failure; its description
    // carries the whole reply for diagnosis.
    static ErrorPtr defaultError(const Json& response);
    // An error of `domain` and `code` when the reply's type equals `type` exactly, else null.
    static ErrorPtr sdkErrorForQuarraErrorType(std::string_view type, const char* domain, long code,
                                               std::string_view localizedDescription,
                                               const Json& response);
    // "type" of the first element of "errors" when it is a non-empty string, else none.
    static std::optional<std::string> quarraErrorTypeFromResponse(const Json& response);
    // The server's message under TVKQuarraServerErrorMessageKey and `localizedDescription` under
    // the localized-description key, each only when not empty; an empty object when neither is.
    static Json userInfoWithLocalizedDescription(std::string_view localizedDescription,
                                                 const Json& response);

    // --- Document thumbnails

    // Shows the thumbnail of a document version of `quarra` in `imageView`: a cached one at once,
    // otherwise `placeholder` (when not null) until the download has succeeded; a failed download
    // leaves what the view shows. Nobody signed in: nothing happens. The session id goes only to
    // the Quarra it belongs to (the current Quarra); a thumbnail of another Quarra is asked for
    // without it. Main thread.
    void setQuarraDocumentThumbnailWithImageView(const std::shared_ptr<ui::ImageView>& imageView,
                                                 ImagePtr placeholder, unsigned long documentId,
                                                 unsigned long majorVersion,
                                                 unsigned long minorVersion,
                                                 const TVKQuarraPtr& quarra);
    // The downloader of thumbnails (FIFO, 4 at once, an encrypted per-user disk tier), made on the
    // first thumbnail call with a signed-in user and kept for the process; null before.
    static std::shared_ptr<HTImageDownloader> thumbnailImageDownloader();
    // Empties the thumbnails' memory tier and the replies their session kept; the files stay. At
    // logout, so that the next user never sees an earlier user's thumbnails.
    static void clearThumbnailMemoryCache();

  private:
    // The session a request or transfer is sent with: none when nobody is signed in, an error when
    // the keychain cannot be read (sent without it, it would read as signed out and fail for a
    // reason that is not the true one).
    static Result<std::optional<std::string>> signedInSessionId();
    TVKQuarraManager();

    enum class ManagerKind { FormURLEncoded, JSON, Background };

    void initSessionManagers();
    std::shared_ptr<HTHTTPSessionManager> makeSessionManager(ManagerKind kind);
    // REQUIRES: managersMutex_ held.
    std::shared_ptr<HTHTTPSessionManager>& managerSlot(ManagerKind kind);
    void setSharedHeaderFieldsForSessionManager(HTHTTPSessionManager& manager) const;
    // Runs `send` on the set-up queue after the network gate; a closed gate answers `handler`.
    void afterGate(const TVKQuarraRequestHandler& handler, const std::function<void()>& send);
    void sendQuarraRequest(const std::string& endpoint, const TVKQuarra& quarra,
                           unsigned long method, const Json& parameters,
                           unsigned long parameterEncoding, bool authorize,
                           TVKQuarraRequestHandler handler);

    // Transfers (TVKQuarraManagerTransfers.cpp).
    void setUpBackgroundManager(HTHTTPSessionManager& manager);
    void doRequestQuarraMultipartFormEndpoint(const std::string& key,
                                              const std::filesystem::path& bodyPath,
                                              const std::string& endpoint, TVKQuarraPtr quarra,
                                              const Url& fileURL, bool isEncrypted,
                                              unsigned long method, const Json& parameters,
                                              TVKQuarraProgressHandler progressHandler,
                                              TVKQuarraUploadHandler completeHandler);
    // Sets again the credential the background session does not keep on disk.
    void prepareAdoptedRequest(std::uint64_t taskId, UrlRequest& request);
    void didReceiveTaskCompleteNotification(const Notification& notification);
    void storeDownload(const TVKPendingDownload& record, std::function<void(ErrorPtr)> done);
    // The host hears the result on the main queue; then the record, its file and the session's
    // memory of the task go, in that order.
    void deliverUpload(const TVKPendingUpload& record, const Json& response, ErrorPtr error,
                       TVKQuarraUploadHandler handler);
    void deliverDownload(const TVKPendingDownload& record, const Json& response, ErrorPtr error,
                         TVKQuarraDownloadHandler handler);
    void forgetBackgroundTask(std::uint64_t taskId);
    // At start-up, before the background session exists (so that nothing it adopts can land
    // meanwhile): files that no record names go.
    void sweepFilesOfNoRecord();
    // The owner's start: the records earlier processes left, then the files none names.
    void loadRecordsAndSweep();
    // Null once this process runs the transfers (taking them over, with the records, the files
    // and the background session's tasks, when the process that ran them has ended); the error
    // for a transfer call otherwise.
    ErrorPtr runTransfers();
    // At start-up: results of transfers an earlier process recorded but whose task the background
    // session no longer has wait for their handler.
    void recoverEarlierTransfers();
    // Results that arrived before a background result handler was set; delivered when one is.
    struct WaitingResult {
        std::uint64_t taskId = 0;
        Json response;
        ErrorPtr error;
        std::optional<TVKPendingUpload> upload;      // a claimed record without a task
        std::optional<TVKPendingDownload> download;  // likewise
    };
    void deliverWaitingUploads();
    void deliverWaitingDownloads();
    // The waiting downloads, then those an earlier process had finished but not stored.
    void deliverDownloadsOfEarlierProcesses();
    void backgroundEventsFinished();
    TVKQuarraUploadHandler backgroundUploadResultHandler() const;
    TVKQuarraDownloadHandler backgroundDownloadResultHandler() const;

    const DispatchQueuePtr sessionManagersQueue_;
    std::string backgroundSessionIdentifier_;
    std::atomic<bool> hasReceivedNetworkStatus_{false};

    TVKPendingTransfers pendingTransfers_;
    std::mutex runsTransfersMutex_;
    bool runsTransfers_ = false;  // GUARDED_BY(runsTransfersMutex_) after construction
    ObserverToken taskCompleteObserver_ = 0;
    mutable std::mutex transfersMutex_;
    TVKQuarraUploadHandler backgroundUploadResultHandler_;
    TVKQuarraDownloadHandler backgroundDownloadResultHandler_;
    std::function<void()> backgroundEventsCompletionHandler_;
    bool backgroundEventsFinished_ = false;
    std::vector<WaitingResult> waitingUploads_;
    std::vector<WaitingResult> waitingDownloads_;

    mutable std::mutex managersMutex_;
    std::shared_ptr<HTHTTPSessionManager> formURLEncodedSessionManager_;
    std::shared_ptr<HTHTTPSessionManager> jsonEncodedSessionManager_;
    std::shared_ptr<HTHTTPSessionManager> backgroundSessionManager_;
};

}  // namespace quarra
