#include "quarra/TVKQuarraAPI.h"

#include "core/TVKQuarraManager.h"
#include "quarra/Dispatch.h"

namespace quarra {
namespace {

constexpr const char* kDocuments = "objects/documents";

TVKQuarraManager& engine() {
    return TVKQuarraManager::sharedInstance();
}

std::string documentEndpoint(std::uint64_t documentId) {
    return std::string(kDocuments) + "/" + std::to_string(documentId);
}

// The document calls with a file answer like the other document calls: reply and error.
TVKQuarraUploadHandler requestHandlerForUpload(TVKQuarraRequestHandler handler) {
    if (!handler)
        return nullptr;
    return [handler](const Json& response, const std::optional<Url>&,
                     const std::optional<std::string>&,
                     const ErrorPtr& error) { handler(response, error); };
}

}  // namespace

TVKQuarraAPI& TVKQuarraAPI::sharedInstance() {
    static TVKQuarraAPI* instance = new TVKQuarraAPI();
    return *instance;
}

std::string TVKQuarraAPI::backgroundSessionIdentifier() const {
    return engine().backgroundSessionIdentifier();
}

void TVKQuarraAPI::requestQuarraEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                                         unsigned long method, const Json& parameters,
                                         unsigned long parameterEncoding,
                                         TVKQuarraRequestHandler completionHandler) {
    engine().requestQuarraEndpoint(endpoint, std::move(quarra), method, parameters,
                                   parameterEncoding, std::move(completionHandler));
}

void TVKQuarraAPI::requestQuarraMultipartFormEndpoint(const std::string& endpoint,
                                                      TVKQuarraPtr quarra, const Url& fileURL,
                                                      bool isEncrypted, unsigned long method,
                                                      const Json& parameters,
                                                      TVKQuarraProgressHandler progressHandler,
                                                      TVKQuarraUploadHandler completionHandler) {
    engine().requestQuarraMultipartFormEndpoint(endpoint, std::move(quarra), fileURL, isEncrypted,
                                                method, parameters, std::move(progressHandler),
                                                std::move(completionHandler));
}

void TVKQuarraAPI::requestQuarraDownloadFileEndpoint(const std::string& endpoint,
                                                     TVKQuarraPtr quarra, const Url& fileURL,
                                                     bool encrypt, const Json& parameters,
                                                     TVKQuarraProgressHandler progressHandler,
                                                     TVKQuarraDownloadHandler completionHandler) {
    engine().requestQuarraDownloadFileEndpoint(endpoint, std::move(quarra), fileURL, encrypt,
                                               parameters, std::move(progressHandler),
                                               std::move(completionHandler));
}

void TVKQuarraAPI::createDocumentWithFields(const Json& fields, TVKQuarraPtr quarra,
                                            TVKQuarraRequestHandler completeHandler) {
    engine().requestQuarraEndpoint(kDocuments, std::move(quarra), TVKQuarraRequestMethodPOST,
                                   fields, TVKQuarraParameterEncodingFormURL,
                                   std::move(completeHandler));
}

void TVKQuarraAPI::createDocumentWithFields(const Json& fields, TVKQuarraPtr quarra,
                                            const Url& fileURL, bool fileIsEncrypted,
                                            TVKQuarraProgressHandler progressHandler,
                                            TVKQuarraRequestHandler completeHandler) {
    engine().requestQuarraMultipartFormEndpoint(
        kDocuments, std::move(quarra), fileURL, fileIsEncrypted, TVKQuarraRequestMethodPOST, fields,
        std::move(progressHandler), requestHandlerForUpload(std::move(completeHandler)));
}

void TVKQuarraAPI::updateDocument(std::uint64_t documentId, const Json& fields, TVKQuarraPtr quarra,
                                  TVKQuarraRequestHandler completeHandler) {
    engine().requestQuarraEndpoint(documentEndpoint(documentId), std::move(quarra),
                                   TVKQuarraRequestMethodPUT, fields,
                                   TVKQuarraParameterEncodingFormURL, std::move(completeHandler));
}

void TVKQuarraAPI::updateDocument(std::uint64_t documentId, const Json& fields, TVKQuarraPtr quarra,
                                  const Url& fileURL, bool fileIsEncrypted,
                                  TVKQuarraProgressHandler progressHandler,
                                  TVKQuarraRequestHandler completeHandler) {
    engine().requestQuarraMultipartFormEndpoint(
        documentEndpoint(documentId), std::move(quarra), fileURL, fileIsEncrypted,
        TVKQuarraRequestMethodPOST, fields, std::move(progressHandler),
        requestHandlerForUpload(std::move(completeHandler)));
}

void TVKQuarraAPI::getDocument(std::uint64_t documentId, TVKQuarraPtr quarra,
                               TVKQuarraRequestHandler completeHandler) {
    engine().requestQuarraEndpoint(documentEndpoint(documentId), std::move(quarra),
                                   TVKQuarraRequestMethodGET, Json::object(),
                                   TVKQuarraParameterEncodingFormURL, std::move(completeHandler));
}

void TVKQuarraAPI::getDocumentType(const std::string& type, TVKQuarraPtr quarra,
                                   TVKQuarraRequestHandler completeHandler) {
    // A name is one path segment, whatever it holds ("/", "?", "#", spaces).
    engine().requestQuarraEndpoint(
        "metadata/objects/documents/types/" + Url::percentEncodedPathSegment(type),
        std::move(quarra), TVKQuarraRequestMethodGET, Json::object(),
        TVKQuarraParameterEncodingFormURL, std::move(completeHandler));
}

void TVKQuarraAPI::getDocumentProperties(std::uint64_t documentId, TVKQuarraPtr quarra,
                                         TVKQuarraRequestHandler completeHandler) {
    engine().requestQuarraEndpoint(
        "metadata/objects/documents/properties?docIds=" + std::to_string(documentId),
        std::move(quarra), TVKQuarraRequestMethodGET, Json::object(),
        TVKQuarraParameterEncodingFormURL, std::move(completeHandler));
}

void TVKQuarraAPI::query(const TVKQuarraServerRequest& request,
                         TVKQuarraRequestHandler completeHandler) {
    requestQuarraEndpoint(request.endpoint(), request.quarra(), request.method(),
                          request.parameters(), request.parameterEncoding(),
                          std::move(completeHandler));
}

// The engine calls these on the main queue already, and forgets a result only once the call has
// returned: a further hop would let a crash lose the result before the host heard it.
void TVKQuarraAPI::setBackgroundUploadResultHandler(TVKQuarraUploadHandler handler) {
    engine().setBackgroundUploadResultHandler(
        [handler](const Json& response, const std::optional<Url>& fileURL,
                  const std::optional<std::string>& username, const ErrorPtr& error) {
            if (handler)
                handler(response, fileURL, username, error);
        });
}

void TVKQuarraAPI::setBackgroundDownloadResultHandler(TVKQuarraDownloadHandler handler) {
    engine().setBackgroundDownloadResultHandler(
        [handler](const Json& response, const std::optional<Url>& fileURL,
                  const std::string& mimeType, const std::optional<std::string>& username,
                  const ErrorPtr& error) {
            if (handler)
                handler(response, fileURL, mimeType, username, error);
        });
}

}  // namespace quarra
