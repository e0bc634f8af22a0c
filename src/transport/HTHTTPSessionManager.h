#pragma once
// A URL session manager for HTTP calls: a base URL that relative URL strings resolve against, a
// request serializer that builds each request, and one method per HTTP method that builds the
// request, makes the task, resumes it and reports to a success or a failure block. Success and
// failure run on the completion queue (the main queue unless set), after the response serializer
// and before the task-complete notification; for each request exactly one of them runs, once.
//
// Thread safety as for HTURLSessionManager.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "transport/HTHTTPRequestSerializer.h"
#include "transport/HTMultipartFormData.h"
#include "transport/HTURLSessionManager.h"

namespace quarra {

class HTHTTPSessionManager : public HTURLSessionManager {
  public:
    static constexpr const char* ArchiveClassName = "HTHTTPSessionManager";

    using SuccessBlock =
        std::function<void(const URLSessionTaskPtr& task, const std::any& responseObject)>;
    using HeadSuccessBlock = std::function<void(const URLSessionTaskPtr& task)>;
    // `task` is null when no task was made (the request could not be built, or the session has
    // been invalidated).
    using FailureBlock = std::function<void(const URLSessionTaskPtr& task, const ErrorPtr& error)>;
    using ConstructingBodyBlock = std::function<void(HTMultipartFormData& formData)>;

    // A manager without base URL on the default configuration.
    static std::shared_ptr<HTHTTPSessionManager> manager();
    // A base URL with a path gets a trailing "/", so relative strings resolve below it.
    // `operationQueue` as for HTURLSessionManager::make.
    static std::shared_ptr<HTHTTPSessionManager> make(
        std::optional<Url> baseURL = std::nullopt,
        std::optional<URLSessionConfiguration> configuration = std::nullopt,
        DispatchQueuePtr operationQueue = nullptr);
    // As make(), with `setUp` run on the manager before its session exists: the place for blocks
    // that must see the first events of the tasks a background session adopts.
    static std::shared_ptr<HTHTTPSessionManager> make(
        std::optional<Url> baseURL, std::optional<URLSessionConfiguration> configuration,
        const std::function<void(HTHTTPSessionManager&)>& setUp);

    const std::optional<Url>& baseURL() const { return baseURL_; }
    std::shared_ptr<HTHTTPRequestSerializer> requestSerializer() const;
    void setRequestSerializer(std::shared_ptr<HTHTTPRequestSerializer> serializer);
    // Throws std::invalid_argument ("Invalid Security Policy: ...") for a pinning policy on a
    // manager whose base URL is not https: a programming error.
    void setSecurityPolicy(std::shared_ptr<HTSecurityPolicy> policy) override;

    URLSessionTaskPtr GET(const std::string& URLString, const Json& parameters,
                          SuccessBlock success, FailureBlock failure);
    URLSessionTaskPtr GET(const std::string& URLString, const Json& parameters,
                          ProgressBlock downloadProgress, SuccessBlock success,
                          FailureBlock failure);
    URLSessionTaskPtr HEAD(const std::string& URLString, const Json& parameters,
                           HeadSuccessBlock success, FailureBlock failure);
    URLSessionTaskPtr POST(const std::string& URLString, const Json& parameters,
                           SuccessBlock success, FailureBlock failure);
    URLSessionTaskPtr POST(const std::string& URLString, const Json& parameters,
                           ProgressBlock uploadProgress, SuccessBlock success,
                           FailureBlock failure);
    // A "multipart/form-data" POST: the parameters become fields, `block` adds parts, and the
    // body streams from its parts as it is sent.
    URLSessionTaskPtr POSTConstructingBodyWithBlock(const std::string& URLString,
                                                    const Json& parameters,
                                                    ConstructingBodyBlock block,
                                                    SuccessBlock success, FailureBlock failure);
    URLSessionTaskPtr POSTConstructingBodyWithBlock(const std::string& URLString,
                                                    const Json& parameters,
                                                    ConstructingBodyBlock block,
                                                    ProgressBlock uploadProgress,
                                                    SuccessBlock success, FailureBlock failure);
    URLSessionTaskPtr PUT(const std::string& URLString, const Json& parameters,
                          SuccessBlock success, FailureBlock failure);
    URLSessionTaskPtr PATCH(const std::string& URLString, const Json& parameters,
                            SuccessBlock success, FailureBlock failure);
    URLSessionTaskPtr DELETE(const std::string& URLString, const Json& parameters,
                             SuccessBlock success, FailureBlock failure);

    // Builds the request and makes the task without resuming it. On failure returns null and
    // calls `failure` asynchronously with a null task.
    URLSessionTaskPtr dataTaskWithHTTPMethod(const std::string& method,
                                             const std::string& URLString, const Json& parameters,
                                             ProgressBlock uploadProgress,
                                             ProgressBlock downloadProgress, SuccessBlock success,
                                             FailureBlock failure);

    std::string description() const override;
    // Same base URL and configuration, copies of the serializers and the same policy.
    std::shared_ptr<HTURLSessionManager> copy() const override;

    // Archiving keeps the base URL, the session configuration, the serializers and the policy
    // (decoding needs their classes allowed).
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTHTTPSessionManager> initWithCoder(KeyedUnarchiver& coder);

  protected:
    HTHTTPSessionManager(std::optional<Url> baseURL,
                         std::optional<URLSessionConfiguration> configuration,
                         DispatchQueuePtr operationQueue = nullptr);

  private:
    friend class HTURLSessionManager;

    // Builds, makes and resumes the task.
    URLSessionTaskPtr send(const std::string& method, const std::string& URLString,
                           const Json& parameters, ProgressBlock uploadProgress,
                           ProgressBlock downloadProgress, SuccessBlock success,
                           FailureBlock failure);
    std::string absoluteURLString(const std::string& URLString) const;
    // Success or failure with the task the holder names once the task exists.
    static CompletionHandler completionFor(std::shared_ptr<URLSessionTaskPtr> task,
                                           SuccessBlock success, FailureBlock failure);
    void failAsynchronously(const FailureBlock& failure, ErrorPtr error) const;

    const std::optional<Url> baseURL_;
    std::shared_ptr<HTHTTPRequestSerializer> requestSerializer_;
};

using HTHTTPSessionManagerPtr = std::shared_ptr<HTHTTPSessionManager>;

}  // namespace quarra
