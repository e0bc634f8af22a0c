#pragma once
// The agent the SDK uses on a Linux desktop: it opens the authorization URL in the desktop's
// browser and takes the redirect back in one of two ways.
// - An http redirect URI on 127.0.0.1, [::1] or localhost (RFC 8252 section 7.3) in any spelling
//   (LoopbackRedirectListener::loopbackOf), with or without a path: a loopback listener on the
//   address the URI names waits for the browser's redirect, hands it to the flow session itself
//   and answers the browser with what the flow made of it. A redirect URI without a port gets the
//   port of a listener opened for the flow (redirectURLForRequest), which providers accept for
//   native clients. An http redirect URI that cannot be listened on as written (port 0, a host
//   that is no loopback address, a port in use) fails the flow before the browser opens, with
//   the -9 code and a description that says which.
// - Any other redirect URI (a private-use scheme, RFC 8252 section 7.1): the desktop starts the
//   host with the redirect, and the host passes it in through the SDK's openURL hook.
// A listener that closes while the flow waits fails the flow with the user-cancelled error, so the
// flow never hangs on it. A redirect the flow does not take (a refusal without the flow's state,
// which any local program can send) gets a failure page, and the listener goes on waiting.
// One agent serves one flow. Safe to use from any thread; the flow session hears from it on the
// main queue.
#include <memory>
#include <mutex>

#include "quarra/Browser.h"
#include "platform/LoopbackRedirectListener.h"
#include "sso/SSOExternalUserAgent.h"

namespace quarra {

class SSOExternalUserAgentLinux : public SSOExternalUserAgent,
                                  public std::enable_shared_from_this<SSOExternalUserAgentLinux> {
  public:
    // Null: the process-wide browser (Browser::shared()) at the time of presenting.
    explicit SSOExternalUserAgentLinux(std::shared_ptr<Browser> browser = nullptr);
    ~SSOExternalUserAgentLinux() override;
    SSOExternalUserAgentLinux(const SSOExternalUserAgentLinux&) = delete;
    SSOExternalUserAgentLinux& operator=(const SSOExternalUserAgentLinux&) = delete;

    // Whether the redirect of `url` comes back over loopback: http on 127.0.0.1, ::1 or localhost,
    // in any spelling.
    static bool isLoopbackRedirect(const Url& url);

    Url redirectURLForRequest(const Url& configured) override;
    bool presentExternalUserAgentRequest(
        const SSOAuthorizationRequest& request,
        const std::shared_ptr<SSOExternalUserAgentSession>& session) override;
    void dismissExternalUserAgentAnimated(bool animated, std::function<void()> completion) override;

    bool externalUserAgentFlowInProgress() const;
    // Forgets the session, closes the listener and ends the flow in progress.
    void cleanUp();

  private:
    void listenerFinished(const std::optional<Url>& redirect,
                          const std::shared_ptr<LoopbackRedirectListener::Reply>& reply);

    const std::shared_ptr<Browser> browser_;
    mutable std::mutex mutex_;
    bool externalUserAgentFlowInProgress_ = false;
    // Held while the step runs, so a flow whose caller let go still ends and calls back once;
    // cleanUp() lets go of it.
    std::shared_ptr<SSOExternalUserAgentSession> session_;
    std::shared_ptr<LoopbackRedirectListener> listener_;
};

}  // namespace quarra
