#pragma once
// One authorization in progress: the request, the agent that shows the provider's page and the
// caller's callback. It decides whether a URL handed to the program is this flow's redirect, turns
// the redirect into an authorization response or an error, and finishes exactly once: the callback
// runs once, on the thread that finishes the flow. Safe to use from any thread.
#include <functional>
#include <memory>
#include <mutex>

#include "sso/SSOAuthorizationResponse.h"
#include "sso/SSOExternalUserAgent.h"

namespace quarra {

using SSOAuthorizationCallback = std::function<void(
    const std::shared_ptr<SSOAuthorizationResponse>& response, const ErrorPtr& error)>;

class SSOAuthorizationFlowSessionImplementation
    : public SSOAuthorizationFlowSession,
      public std::enable_shared_from_this<SSOAuthorizationFlowSessionImplementation> {
  public:
    explicit SSOAuthorizationFlowSessionImplementation(SSOAuthorizationRequest request);
    SSOAuthorizationFlowSessionImplementation(const SSOAuthorizationFlowSessionImplementation&) =
        delete;
    SSOAuthorizationFlowSessionImplementation& operator=(
        const SSOAuthorizationFlowSessionImplementation&) = delete;

    const SSOAuthorizationRequest& request() const { return request_; }

    // Holds both and starts the agent; an agent that does not start finishes the flow at once with
    // general error -9.
    void presentAuthorizationWithExternalUserAgent(std::shared_ptr<SSOExternalUserAgent> agent,
                                                   SSOAuthorizationCallback callback);

    // Scheme, user, password, host, port and path of both URLs, dot segments resolved, compare
    // equal; query and fragment are not compared. An http(s) URL without a path has the path "/",
    // which is what a browser asks for.
    bool shouldHandleURL(const Url& url) const;

    void cancel() override;
    // Ends a waiting flow as cancel() does, with `error` in place of the user-cancelled one.
    void cancelWithError(const ErrorPtr& error);
    using SSOExternalUserAgentSession::resumeExternalUserAgentFlowWithURL;
    bool resumeExternalUserAgentFlowWithURL(const Url& url, ErrorPtr& outcome) override;
    void failExternalUserAgentFlowWithError(const ErrorPtr& error) override;

    // Finishes the flow with the pair; a second finish does nothing.
    void didFinishWithResponse(const std::shared_ptr<SSOAuthorizationResponse>& response,
                               const ErrorPtr& error);

    bool isWaiting() const override;

  private:
    const SSOAuthorizationRequest request_;
    mutable std::mutex mutex_;
    std::shared_ptr<SSOExternalUserAgent> externalUserAgent_;
    SSOAuthorizationCallback pendingauthorizationFlowCallback_;
    // Set once the outcome is fixed (a redirect taken, a cancel): later redirects are not taken.
    bool finishing_ = false;
};

}  // namespace quarra
