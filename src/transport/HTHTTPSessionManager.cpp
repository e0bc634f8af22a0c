#include "transport/HTHTTPSessionManager.h"

#include <stdexcept>

#include "transport/HTHTTPResponseSerializer.h"
#include "transport/HTSecurityPolicy.h"

namespace quarra {
namespace {

std::optional<Url> directoryBaseURL(std::optional<Url> url) {
    if (url && !url->path().empty() && url->string().back() != '/')
        return url->appendingPathComponent("");
    return url;
}

const char* pinningModeName(HTSSLPinningMode mode) {
    switch (mode) {
        case HTSSLPinningModeNone:
            return "HTSSLPinningModeNone";
        case HTSSLPinningModePublicKey:
            return "HTSSLPinningModePublicKey";
        case HTSSLPinningModeCertificate:
            return "HTSSLPinningModeCertificate";
    }
    return "Unknown Pinning Mode";
}

}  // namespace

std::shared_ptr<HTHTTPSessionManager> HTHTTPSessionManager::manager() {
    return make();
}

std::shared_ptr<HTHTTPSessionManager> HTHTTPSessionManager::make(
    std::optional<Url> baseURL, std::optional<URLSessionConfiguration> configuration,
    DispatchQueuePtr operationQueue) {
    return create<HTHTTPSessionManager>(std::move(baseURL), std::move(configuration),
                                        std::move(operationQueue));
}

std::shared_ptr<HTHTTPSessionManager> HTHTTPSessionManager::make(
    std::optional<Url> baseURL, std::optional<URLSessionConfiguration> configuration,
    const std::function<void(HTHTTPSessionManager&)>& setUp) {
    std::shared_ptr<HTHTTPSessionManager> manager(
        new HTHTTPSessionManager(std::move(baseURL), std::move(configuration)));
    if (setUp)
        setUp(*manager);
    manager->start();
    return manager;
}

HTHTTPSessionManager::HTHTTPSessionManager(std::optional<Url> baseURL,
                                           std::optional<URLSessionConfiguration> configuration,
                                           DispatchQueuePtr operationQueue)
    : HTURLSessionManager(std::move(configuration), std::move(operationQueue)),
      baseURL_(directoryBaseURL(std::move(baseURL))),
      requestSerializer_(HTHTTPRequestSerializer::serializer()) {}

std::shared_ptr<HTHTTPRequestSerializer> HTHTTPSessionManager::requestSerializer() const {
    return std::atomic_load(&requestSerializer_);
}

void HTHTTPSessionManager::setRequestSerializer(
    std::shared_ptr<HTHTTPRequestSerializer> serializer) {
    std::atomic_store(&requestSerializer_, std::move(serializer));
}

void HTHTTPSessionManager::setSecurityPolicy(std::shared_ptr<HTSecurityPolicy> policy) {
    if (policy && policy->SSLPinningMode() != HTSSLPinningModeNone &&
        (!baseURL_ || baseURL_->scheme() != "https")) {
        throw std::invalid_argument(
            std::string("Invalid Security Policy: A security policy configured with `") +
            pinningModeName(policy->SSLPinningMode()) +
            "` can only be applied on a manager with a secure base URL (i.e. https)");
    }
    HTURLSessionManager::setSecurityPolicy(std::move(policy));
}

std::string HTHTTPSessionManager::absoluteURLString(const std::string& URLString) const {
    std::optional<Url> url = baseURL_ ? baseURL_->resolve(URLString) : Url::parse(URLString);
    return url ? url->string() : URLString;
}

void HTHTTPSessionManager::failAsynchronously(const FailureBlock& failure, ErrorPtr error) const {
    if (!failure)
        return;
    DispatchQueuePtr queue = completionQueue();
    (queue ? queue : DispatchQueue::main())->async([failure, error = std::move(error)] {
        failure(nullptr, error);
    });
}

HTURLSessionManager::CompletionHandler HTHTTPSessionManager::completionFor(
    std::shared_ptr<URLSessionTaskPtr> task, SuccessBlock success, FailureBlock failure) {
    return [task = std::move(task), success = std::move(success), failure = std::move(failure)](
               const HttpResponsePtr&, const std::any& responseObject, const ErrorPtr& error) {
        if (error) {
            if (failure)
                failure(*task, error);
        } else if (success) {
            success(*task, responseObject);
        }
    };
}

URLSessionTaskPtr HTHTTPSessionManager::dataTaskWithHTTPMethod(
    const std::string& method, const std::string& URLString, const Json& parameters,
    ProgressBlock uploadProgress, ProgressBlock downloadProgress, SuccessBlock success,
    FailureBlock failure) {
    Result<UrlRequest> request =
        requestSerializer()->requestWithMethod(method, absoluteURLString(URLString), parameters);
    if (!request) {
        failAsynchronously(failure, request.error());
        return nullptr;
    }
    // The handler learns its task once it exists; until then (the session refused to make one)
    // it reports a null task.
    auto task = std::make_shared<URLSessionTaskPtr>();
    auto completion = completionFor(task, std::move(success), std::move(failure));
    *task = dataTaskWithRequest(std::move(*request), std::move(uploadProgress),
                                std::move(downloadProgress), std::move(completion));
    return *task;
}

URLSessionTaskPtr HTHTTPSessionManager::send(const std::string& method,
                                             const std::string& URLString, const Json& parameters,
                                             ProgressBlock uploadProgress,
                                             ProgressBlock downloadProgress, SuccessBlock success,
                                             FailureBlock failure) {
    auto task =
        dataTaskWithHTTPMethod(method, URLString, parameters, std::move(uploadProgress),
                               std::move(downloadProgress), std::move(success), std::move(failure));
    if (task)
        task->resume();
    return task;
}

URLSessionTaskPtr HTHTTPSessionManager::GET(const std::string& URLString, const Json& parameters,
                                            SuccessBlock success, FailureBlock failure) {
    return GET(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::GET(const std::string& URLString, const Json& parameters,
                                            ProgressBlock downloadProgress, SuccessBlock success,
                                            FailureBlock failure) {
    return send("GET", URLString, parameters, nullptr, std::move(downloadProgress),
                std::move(success), std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::HEAD(const std::string& URLString, const Json& parameters,
                                             HeadSuccessBlock success, FailureBlock failure) {
    SuccessBlock dropObject;
    if (success)
        dropObject = [success = std::move(success)](const URLSessionTaskPtr& task,
                                                    const std::any&) { success(task); };
    return send("HEAD", URLString, parameters, nullptr, nullptr, std::move(dropObject),
                std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::POST(const std::string& URLString, const Json& parameters,
                                             SuccessBlock success, FailureBlock failure) {
    return POST(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::POST(const std::string& URLString, const Json& parameters,
                                             ProgressBlock uploadProgress, SuccessBlock success,
                                             FailureBlock failure) {
    return send("POST", URLString, parameters, std::move(uploadProgress), nullptr,
                std::move(success), std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::POSTConstructingBodyWithBlock(const std::string& URLString,
                                                                      const Json& parameters,
                                                                      ConstructingBodyBlock block,
                                                                      SuccessBlock success,
                                                                      FailureBlock failure) {
    return POSTConstructingBodyWithBlock(URLString, parameters, std::move(block), nullptr,
                                         std::move(success), std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::POSTConstructingBodyWithBlock(
    const std::string& URLString, const Json& parameters, ConstructingBodyBlock block,
    ProgressBlock uploadProgress, SuccessBlock success, FailureBlock failure) {
    Result<UrlRequest> request = requestSerializer()->multipartFormRequestWithMethod(
        "POST", absoluteURLString(URLString), parameters, block);
    if (!request) {
        failAsynchronously(failure, request.error());
        return nullptr;
    }
    auto task = std::make_shared<URLSessionTaskPtr>();
    auto completion = completionFor(task, std::move(success), std::move(failure));
    *task = uploadTaskWithStreamedRequest(std::move(*request), std::move(uploadProgress),
                                          std::move(completion));
    if (*task)
        (*task)->resume();
    return *task;
}

URLSessionTaskPtr HTHTTPSessionManager::PUT(const std::string& URLString, const Json& parameters,
                                            SuccessBlock success, FailureBlock failure) {
    return send("PUT", URLString, parameters, nullptr, nullptr, std::move(success),
                std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::PATCH(const std::string& URLString, const Json& parameters,
                                              SuccessBlock success, FailureBlock failure) {
    return send("PATCH", URLString, parameters, nullptr, nullptr, std::move(success),
                std::move(failure));
}

URLSessionTaskPtr HTHTTPSessionManager::DELETE(const std::string& URLString, const Json& parameters,
                                               SuccessBlock success, FailureBlock failure) {
    return send("DELETE", URLString, parameters, nullptr, nullptr, std::move(success),
                std::move(failure));
}

std::string HTHTTPSessionManager::description() const {
    std::string base = HTURLSessionManager::description();
    std::string prefix = "<HTURLSessionManager: " + taskDescriptionForSessionTasks();
    return "<HTHTTPSessionManager: " + taskDescriptionForSessionTasks() +
           ", baseURL: " + (baseURL_ ? baseURL_->string() : "(null)") + base.substr(prefix.size());
}

void HTHTTPSessionManager::encodeWithCoder(KeyedArchiver& coder) const {
    HTURLSessionManager::encodeWithCoder(coder);
    if (baseURL_)
        coder.encodeUrl(*baseURL_, "baseURL");
    coder.encodeObject(requestSerializer().get(), "requestSerializer");
    coder.encodeObject(dynamic_cast<const Coding*>(responseSerializer().get()),
                       "responseSerializer");
    coder.encodeObject(securityPolicy().get(), "securityPolicy");
}

std::shared_ptr<HTHTTPSessionManager> HTHTTPSessionManager::initWithCoder(KeyedUnarchiver& coder) {
    std::optional<Url> baseURL = coder.decodeUrl("baseURL");
    auto configuration = decodeConfiguration(coder);
    auto request = coder.decodeObject<HTHTTPRequestSerializer>("requestSerializer");
    auto response = coder.decodeObject<HTHTTPResponseSerializer>("responseSerializer");
    auto policy = coder.decodeObject<HTSecurityPolicy>("securityPolicy");
    if (!configuration || coder.error())
        return nullptr;
    auto manager = make(std::move(baseURL), std::move(*configuration));
    if (request)
        manager->setRequestSerializer(std::move(request));
    if (response)
        manager->setResponseSerializer(std::move(response));
    if (policy) {
        try {
            manager->setSecurityPolicy(std::move(policy));
        } catch (const std::invalid_argument& refused) {
            coder.failWithError(Error::make(KeyedArchiveErrorDomain, KeyedArchiveRefused,
                                            std::string(refused.what())));
            manager->invalidateSessionCancelingTasks(true);
            return nullptr;
        }
    }
    return manager;
}

std::shared_ptr<HTURLSessionManager> HTHTTPSessionManager::copy() const {
    auto manager = make(baseURL_, sessionConfiguration());
    manager->setRequestSerializer(requestSerializer()->copy());
    auto response = responseSerializer();
    if (auto http = std::dynamic_pointer_cast<HTHTTPResponseSerializer>(response))
        manager->setResponseSerializer(http->copy());
    else
        manager->setResponseSerializer(std::move(response));
    // A policy pinned on the copy later must not change what the original accepts.
    if (auto policy = securityPolicy())
        manager->setSecurityPolicy(policy->copy());
    return manager;
}

}  // namespace quarra
