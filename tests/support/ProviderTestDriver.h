#pragma once
// Stands in for the person at the browser in single sign-on tests: drives the OpenID test
// provider's login and consent pages over HTTP with a cookie jar, and stops at the redirect that
// leaves the provider. Three ways to use it:
// - drive(): the redirect URL, for a test that hands it over itself;
// - ProviderTestBrowser: a Browser for the SDK's own agent, which then follows the redirect to the
//   agent's loopback listener, or gives a private-scheme redirect to a handler (the host's
//   openURL);
// - ProviderTestAgent: an external user agent that hands the redirect to its flow session itself,
//   as an in-app browser session does.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/Browser.h"
#include "quarra/Url.h"
#include "sso/SSOExternalUserAgent.h"

namespace quarra::test {

struct ProviderTestDriver {
    struct Options {
        std::string login = "alice";
        std::string password = "any";
        // Cancel on the login page: the provider redirects with access_denied.
        bool deny = false;
    };
    // The first redirect away from the provider; nothing, and `why`, when the pages do not lead
    // there.
    static std::optional<Url> drive(const Url& authorizationURL, const Options& options,
                                    std::string* why = nullptr);
};

class ProviderTestBrowser : public Browser {
  public:
    using SchemeHandler = std::function<void(const Url& redirect)>;
    // `onSchemeRedirect` gets redirects that are not http, on the main queue.
    explicit ProviderTestBrowser(ProviderTestDriver::Options options = {},
                                 SchemeHandler onSchemeRedirect = nullptr);
    // Drives the pages on a thread of its own; true at once.
    bool openURL(const Url& url) override;
    // URLs opened so far.
    int opened() const;

  private:
    const ProviderTestDriver::Options options_;
    const SchemeHandler onSchemeRedirect_;
    mutable std::mutex mutex_;
    int opened_ = 0;
};

class ProviderTestAgent : public SSOExternalUserAgent,
                          public std::enable_shared_from_this<ProviderTestAgent> {
  public:
    // `rewrite` may change the redirect before it is handed over (a tampered state).
    explicit ProviderTestAgent(ProviderTestDriver::Options options = {},
                               std::function<Url(const Url&)> rewrite = nullptr);
    bool presentExternalUserAgentRequest(
        const SSOAuthorizationRequest& request,
        const std::shared_ptr<SSOExternalUserAgentSession>& session) override;
    void dismissExternalUserAgentAnimated(bool animated, std::function<void()> completion) override;

    // The redirect handed over last.
    std::optional<Url> lastRedirect() const;

  private:
    const ProviderTestDriver::Options options_;
    const std::function<Url(const Url&)> rewrite_;
    mutable std::mutex mutex_;
    bool inProgress_ = false;
    std::optional<Url> lastRedirect_;
};

}  // namespace quarra::test
