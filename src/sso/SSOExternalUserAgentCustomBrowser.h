#pragma once
// An agent that opens the authorization URL in a browser of the host's choice: a browser command
// run on the URL after a transformation. It keeps neither the request nor the session: the
// redirect comes back as an incoming URL of the host (a private-use URI scheme), which the host
// passes in through the SDK's openURL hook. Immutable; safe on any thread.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sso/SSOExternalUserAgent.h"

namespace quarra {

class SSOExternalUserAgentCustomBrowser : public SSOExternalUserAgent {
  public:
    // What to open for an authorization URL; nothing when the URL cannot be opened this way.
    using URLTransformation = std::function<std::optional<Url>(const Url&)>;

    // `browserCommand`: the program (looked up on PATH) and its first arguments; the URL follows.
    SSOExternalUserAgentCustomBrowser(URLTransformation transformation,
                                      std::vector<std::string> browserCommand);

    // "https" URLs get the scheme `https`, "http" URLs `http` (nothing without one); a URL of
    // another scheme gives nothing.
    static URLTransformation URLTransformationSchemeSubstitutionHTTPS(
        std::string https, std::optional<std::string> http);
    // The prefix followed by the whole URL, percent-encoded as a query value.
    static URLTransformation URLTransformationSchemeConcatPrefix(std::string prefix);
    // The URL unchanged.
    static URLTransformation URLTransformationIdentity();

    // Presets for browsers that Debian and the usual desktops install.
    static std::shared_ptr<SSOExternalUserAgentCustomBrowser> CustomBrowserChromium();
    static std::shared_ptr<SSOExternalUserAgentCustomBrowser> CustomBrowserChrome();
    static std::shared_ptr<SSOExternalUserAgentCustomBrowser> CustomBrowserFirefox();
    // The desktop's default browser ("xdg-open").
    static std::shared_ptr<SSOExternalUserAgentCustomBrowser> CustomBrowserDefault();

    const std::vector<std::string>& browserCommand() const { return browserCommand_; }
    const URLTransformation& transformation() const { return transformation_; }

    // False when the browser is not installed, the transformation gives nothing or the command
    // cannot be started (the flow session then reports general error -9).
    bool presentExternalUserAgentRequest(
        const SSOAuthorizationRequest& request,
        const std::shared_ptr<SSOExternalUserAgentSession>& session) override;
    // Nothing to close: the completion runs at once.
    void dismissExternalUserAgentAnimated(bool animated, std::function<void()> completion) override;

  private:
    const URLTransformation transformation_;
    const std::vector<std::string> browserCommand_;
};

}  // namespace quarra
