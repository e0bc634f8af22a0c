#pragma once
// The browser step of an authorization and the flow it reports to. An external user agent shows
// the provider's pages for a request and brings the redirect back to its session; the session
// decides whether a URL is its redirect and finishes the flow. The session owns its agent until
// the flow finishes; an agent may hold its session while its step runs, so that a flow ends and
// calls back even when its caller let go of it.
#include <functional>
#include <memory>

#include "quarra/Error.h"
#include "quarra/Url.h"
#include "sso/SSOAuthorizationRequest.h"

namespace quarra {

// The flow as its agent sees it.
class SSOExternalUserAgentSession {
  public:
    virtual ~SSOExternalUserAgentSession() = default;

    // Ends the flow: the agent is dismissed and the flow fails with the user-cancelled error.
    virtual void cancel() = 0;
    // True when `url` is this flow's redirect and was taken; false for any other URL, for a refusal
    // ("error") without the flow's state, and for a flow that no longer waits for its redirect.
    bool resumeExternalUserAgentFlowWithURL(const Url& url) {
        ErrorPtr ignored;
        return resumeExternalUserAgentFlowWithURL(url, ignored);
    }
    // As above; a URL taken leaves in `outcome` what the flow made of it: null when it carried an
    // authorization, otherwise the error the flow ends with. An agent answers the browser by it.
    virtual bool resumeExternalUserAgentFlowWithURL(const Url& url, ErrorPtr& outcome) = 0;
    // Ends the flow with `error`; nothing when it has ended already.
    virtual void failExternalUserAgentFlowWithError(const ErrorPtr& error) = 0;
    // Whether the flow still waits for its redirect (presented, no outcome yet).
    virtual bool isWaiting() const = 0;
};

// The flow as its caller sees it: the older names of the same operations.
class SSOAuthorizationFlowSession : public SSOExternalUserAgentSession {
  public:
    bool resumeAuthorizationFlowWithURL(const Url& url) {
        return resumeExternalUserAgentFlowWithURL(url);
    }
    void failAuthorizationFlowWithError(const ErrorPtr& error) {
        failExternalUserAgentFlowWithError(error);
    }
};

class SSOExternalUserAgent {
  public:
    virtual ~SSOExternalUserAgent() = default;

    // The redirect URL that a request for this agent should carry, given the host's configured
    // one. An agent that must choose part of it itself (the port of a loopback listener) says so
    // here, before the request is made; others return it unchanged.
    virtual Url redirectURLForRequest(const Url& configured) { return configured; }
    // Starts the browser step; true when it started. The agent reports to `session` later (a
    // redirect, a failure), from any thread.
    virtual bool presentExternalUserAgentRequest(
        const SSOAuthorizationRequest& request,
        const std::shared_ptr<SSOExternalUserAgentSession>& session) = 0;
    // Ends the browser step. `completion` runs once when a step was in progress (at once or when
    // the page is gone) and never when the agent was idle.
    virtual void dismissExternalUserAgentAnimated(bool animated,
                                                  std::function<void()> completion) = 0;
};

}  // namespace quarra
