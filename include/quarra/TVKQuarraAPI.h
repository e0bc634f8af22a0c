#pragma once
// The host's door to a Quarra's server API: documents, document types and properties, any
// endpoint, file uploads and downloads, prepared request objects, and the handlers that receive
// results of background transfers after a relaunch. Every call goes through the request engine,
// which signs in when needed, sends, maps the server's errors and calls back on the main queue.
//
// Stateless; any thread may call. A handler may be left empty: the call still happens.
#include <cstdint>
#include <string>

#include "quarra/TVKQuarraRequestTypes.h"
#include "quarra/TVKQuarraServerRequest.h"

namespace quarra {

class TVKQuarraAPI {
  public:
    static TVKQuarraAPI& sharedInstance();
    TVKQuarraAPI(const TVKQuarraAPI&) = delete;
    TVKQuarraAPI& operator=(const TVKQuarraAPI&) = delete;

    // The identifier of the background session that carries uploads and downloads: the one
    // TVKSDKApplicationDelegate::handleEventsForBackgroundURLSession is told about.
    std::string backgroundSessionIdentifier() const;

    // Any endpoint below the API root, with method (1 GET, 2 POST, 3 PUT) and parameter encoding
    // (1 form, 2 JSON) codes.
    void requestQuarraEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                               unsigned long method, const Json& parameters,
                               unsigned long parameterEncoding,
                               TVKQuarraRequestHandler completionHandler);
    // A multipart upload of a file (part "file") beside form fields, sent by the background
    // session after a fresh sign-in to `quarra`. Refused before anything is sent when there is no
    // network (TVKNetworkErrorDomain), or the file cannot be read (TVKAPIFileUnreadableErrorCode)
    // or is over TVKMaximumUploadFileSize (TVKAPIFileTooLargeErrorCode).
    void requestQuarraMultipartFormEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                                            const Url& fileURL, bool isEncrypted,
                                            unsigned long method, const Json& parameters,
                                            TVKQuarraProgressHandler progressHandler,
                                            TVKQuarraUploadHandler completionHandler);
    // A file download (GET, `parameters` in the query) to the file URL `fileURL`, stored encrypted
    // with the signed-in user's key when `encrypt`; a JSON server reply in place of the file is
    // answered as the SDK's error.
    void requestQuarraDownloadFileEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                                           const Url& fileURL, bool encrypt, const Json& parameters,
                                           TVKQuarraProgressHandler progressHandler,
                                           TVKQuarraDownloadHandler completionHandler);

    // POST "objects/documents" with the fields, form-encoded.
    void createDocumentWithFields(const Json& fields, TVKQuarraPtr quarra,
                                  TVKQuarraRequestHandler completeHandler);
    // The same as a multipart upload of the document's file.
    void createDocumentWithFields(const Json& fields, TVKQuarraPtr quarra, const Url& fileURL,
                                  bool fileIsEncrypted, TVKQuarraProgressHandler progressHandler,
                                  TVKQuarraRequestHandler completeHandler);
    // PUT "objects/documents/<id>" with the fields, form-encoded.
    void updateDocument(std::uint64_t documentId, const Json& fields, TVKQuarraPtr quarra,
                        TVKQuarraRequestHandler completeHandler);
    // A new version: POST "objects/documents/<id>" as a multipart upload of the file.
    void updateDocument(std::uint64_t documentId, const Json& fields, TVKQuarraPtr quarra,
                        const Url& fileURL, bool fileIsEncrypted,
                        TVKQuarraProgressHandler progressHandler,
                        TVKQuarraRequestHandler completeHandler);
    // GET "objects/documents/<id>".
    void getDocument(std::uint64_t documentId, TVKQuarraPtr quarra,
                     TVKQuarraRequestHandler completeHandler);
    // GET "metadata/objects/documents/types/<type>", the type name percent-encoded.
    void getDocumentType(const std::string& type, TVKQuarraPtr quarra,
                         TVKQuarraRequestHandler completeHandler);
    // GET "metadata/objects/documents/properties?docIds=<id>".
    void getDocumentProperties(std::uint64_t documentId, TVKQuarraPtr quarra,
                               TVKQuarraRequestHandler completeHandler);
    // Sends what the request object describes.
    void query(const TVKQuarraServerRequest& request, TVKQuarraRequestHandler completeHandler);

    // Results of transfers that outlive their caller, on the main queue. An empty handler still
    // counts as set: such results are then dropped, with their records and files.
    void setBackgroundUploadResultHandler(TVKQuarraUploadHandler handler);
    void setBackgroundDownloadResultHandler(TVKQuarraDownloadHandler handler);

  private:
    TVKQuarraAPI() = default;
};

}  // namespace quarra
