#include "sso/SSOExternalUserAgentLinux.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Dispatch.h"
#include "sso/SSOErrorUtilities.h"

namespace quarra {

SSOExternalUserAgentLinux::SSOExternalUserAgentLinux(std::shared_ptr<Browser> browser)
    : browser_(std::move(browser)) {}

SSOExternalUserAgentLinux::~SSOExternalUserAgentLinux() {
    if (listener_)
        listener_->close();
}

namespace {

// Why the loopback listener for `redirect` could not be had, as the person reads it.
std::string listenFailureText(const Url& redirect, const ErrorPtr& error) {
    const std::string where = redirect.hostAndPort();
    if (error->is(LoopbackRedirectListener::ErrorDomain, EADDRINUSE))
        return "The redirect URI's port is in use by another program (" + where + ").";
    // No IPv6 on this host, a port kept for the system, no sockets left.
    return "The redirect URI's address cannot be listened on (" + where + ": " +
           std::strerror(static_cast<int>(error->code())) + ").";
}

// What the person reads in the browser when the redirect did not sign in.
std::string failureText(const ErrorPtr& error) {
    if (error->is(SSOOAuthAuthorizationErrorDomain, SSOOAuthErrorStateMismatch))
        return "The reply does not belong to the sign-in that is waiting.";
    if (error->domain() == SSOOAuthAuthorizationErrorDomain)
        return "The sign-in was refused (" + error->localizedDescription() + ").";
    return error->localizedDescription();
}

}  // namespace

bool SSOExternalUserAgentLinux::isLoopbackRedirect(const Url& url) {
    return strcasecmp(url.scheme().c_str(), "http") == 0 &&
           LoopbackRedirectListener::loopbackOf(url.host()) !=
               LoopbackRedirectListener::Loopback::None;
}

Url SSOExternalUserAgentLinux::redirectURLForRequest(const Url& configured) {
    if (!isLoopbackRedirect(configured) || configured.port())
        return configured;
    auto listening = LoopbackRedirectListener::listen(configured.host(), 0);
    if (!listening) {
        TVK_LOG_ERROR("OAUTH could not open a loopback listener: " +
                      listening.error()->description());
        return configured;
    }
    auto listener = std::move(*listening);
    // The configured text with ":<port>" after its authority (which ends at its first "/", "?" or
    // "#"), the rest as written: a host is left in the case it was written in, and an empty port
    // ("host:") gets the listener's.
    const std::string& text = configured.string();
    const size_t authority = text.find("//") + 2;
    size_t hostEnd = text.find_first_of("/?#", authority);
    if (hostEnd == std::string::npos)
        hostEnd = text.size();
    const size_t portAt = text[hostEnd - 1] == ':' ? hostEnd - 1 : hostEnd;
    std::optional<Url> withPort = Url::parse(
        text.substr(0, portAt) + ":" + std::to_string(listener->port()) + text.substr(hostEnd));
    if (!withPort)
        return configured;
    std::lock_guard lock(mutex_);
    if (listener_)
        listener_->close();
    listener_ = std::move(listener);
    return *withPort;
}

bool SSOExternalUserAgentLinux::presentExternalUserAgentRequest(
    const SSOAuthorizationRequest& request,
    const std::shared_ptr<SSOExternalUserAgentSession>& session) {
    std::shared_ptr<LoopbackRedirectListener> listener;
    {
        std::lock_guard lock(mutex_);
        if (externalUserAgentFlowInProgress_)
            return false;
        externalUserAgentFlowInProgress_ = true;
        session_ = session;
        listener = listener_;
    }
    const std::optional<Url>& redirect = request.redirectURL();
    auto fail = [this, session](long code, const std::string& description) {
        cleanUp();
        session->failExternalUserAgentFlowWithError(
            SSOErrorUtilities::errorWithCode(code, nullptr, description));
        return false;
    };
    // A redirect over http comes back only to a listener of ours: one that cannot be had as the
    // URI is written fails before the browser opens, instead of when the time limit ends.
    if (redirect && strcasecmp(redirect->scheme().c_str(), "http") == 0 &&
        !isLoopbackRedirect(*redirect)) {
        return fail(SSOErrorCodeBrowserUnavailable,
                    "The redirect URI's host is no loopback address, so the redirect cannot be "
                    "listened for (" +
                        redirect->hostAndPort() + ").");
    }
    if (redirect && isLoopbackRedirect(*redirect)) {
        if (redirect->port() == 0) {
            return fail(SSOErrorCodeBrowserUnavailable,
                        "The redirect URI names port 0, which cannot be listened on as written.");
        }
        if (!listener || listener->port() != redirect->port()) {
            auto listening =
                LoopbackRedirectListener::listen(redirect->host(), redirect->port().value_or(80));
            if (!listening) {
                TVK_LOG_ERROR("OAUTH could not listen for the redirect: " +
                              listening.error()->description());
                return fail(SSOErrorCodeBrowserUnavailable,
                            listenFailureText(*redirect, listening.error()));
            }
            listener = std::move(*listening);
            std::lock_guard lock(mutex_);
            listener_ = listener;
        }
        std::weak_ptr<SSOExternalUserAgentLinux> weak = shared_from_this();
        // The browser asks for "/" when the URI has no path.
        listener->start(redirect->path().empty() ? "/" : redirect->path(),
                        [weak](const std::optional<Url>& url,
                               const std::shared_ptr<LoopbackRedirectListener::Reply>& reply) {
                            DispatchQueue::main()->async([weak, url, reply] {
                                if (auto self = weak.lock())
                                    self->listenerFinished(url, reply);
                            });
                        });
    }
    std::shared_ptr<Browser> browser = browser_ ? browser_ : Browser::shared();
    if (!browser->openURL(request.externalUserAgentRequestURL()))
        return fail(SSOErrorCodeBrowserUnavailable, "Unable to open the web browser.");
    return true;
}

void SSOExternalUserAgentLinux::listenerFinished(
    const std::optional<Url>& redirect,
    const std::shared_ptr<LoopbackRedirectListener::Reply>& reply) {
    std::shared_ptr<SSOExternalUserAgentSession> session;
    {
        std::lock_guard lock(mutex_);
        if (externalUserAgentFlowInProgress_)
            session = session_;
    }
    if (!session) {
        if (reply)
            reply->failed("The sign-in is no longer waiting.");
        cleanUp();
        return;
    }
    if (redirect) {
        ErrorPtr outcome;
        if (!session->resumeExternalUserAgentFlowWithURL(*redirect, outcome)) {
            if (!session->isWaiting()) {
                // Cancelled, timed out or ended by another redirect just before this one came.
                reply->failed("The sign-in is no longer waiting.");
                return;
            }
            // Not the flow's (a refusal without its state): the listener goes on waiting for
            // the real redirect, within the flow's time limit.
            reply->failed("The reply does not belong to the sign-in that is waiting.");
        } else if (outcome) {
            reply->failed(failureText(outcome));
        } else {
            reply->succeeded();
        }
        return;
    }
    // The listener closed while the flow waited: the flow ends instead of waiting for a redirect
    // that can no longer come.
    cleanUp();
    session->failExternalUserAgentFlowWithError(SSOErrorUtilities::errorWithCode(
        SSOErrorCodeUserCancelled, nullptr, "The sign-in was closed before the browser returned."));
}

void SSOExternalUserAgentLinux::dismissExternalUserAgentAnimated(bool,
                                                                 std::function<void()> completion) {
    if (!externalUserAgentFlowInProgress())
        return;
    cleanUp();
    if (completion)
        completion();
}

bool SSOExternalUserAgentLinux::externalUserAgentFlowInProgress() const {
    std::lock_guard lock(mutex_);
    return externalUserAgentFlowInProgress_;
}

void SSOExternalUserAgentLinux::cleanUp() {
    std::shared_ptr<LoopbackRedirectListener> listener;
    {
        std::lock_guard lock(mutex_);
        externalUserAgentFlowInProgress_ = false;
        session_.reset();
        listener = std::move(listener_);
        listener_ = nullptr;
    }
    if (listener)
        listener->close();
}

}  // namespace quarra
