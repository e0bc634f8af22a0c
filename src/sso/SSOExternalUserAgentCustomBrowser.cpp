#include "sso/SSOExternalUserAgentCustomBrowser.h"

#include "quarra/Browser.h"
#include "sso/SSOURLQueryComponent.h"

namespace quarra {

SSOExternalUserAgentCustomBrowser::SSOExternalUserAgentCustomBrowser(
    URLTransformation transformation, std::vector<std::string> browserCommand)
    : transformation_(std::move(transformation)), browserCommand_(std::move(browserCommand)) {}

SSOExternalUserAgentCustomBrowser::URLTransformation
SSOExternalUserAgentCustomBrowser::URLTransformationSchemeSubstitutionHTTPS(
    std::string https, std::optional<std::string> http) {
    return
        [https = std::move(https), http = std::move(http)](const Url& url) -> std::optional<Url> {
            std::optional<std::string> scheme;
            if (url.scheme() == "https")
                scheme = https;
            else if (url.scheme() == "http")
                scheme = http;
            if (!scheme)
                return std::nullopt;
            return Url::parse(*scheme + url.string().substr(url.scheme().size()));
        };
}

SSOExternalUserAgentCustomBrowser::URLTransformation
SSOExternalUserAgentCustomBrowser::URLTransformationSchemeConcatPrefix(std::string prefix) {
    return [prefix = std::move(prefix)](const Url& url) {
        return Url::parse(prefix + SSOURLQueryComponent::encode(url.string()));
    };
}

SSOExternalUserAgentCustomBrowser::URLTransformation
SSOExternalUserAgentCustomBrowser::URLTransformationIdentity() {
    return [](const Url& url) { return std::optional<Url>(url); };
}

std::shared_ptr<SSOExternalUserAgentCustomBrowser>
SSOExternalUserAgentCustomBrowser::CustomBrowserChromium() {
    return std::make_shared<SSOExternalUserAgentCustomBrowser>(
        URLTransformationIdentity(), std::vector<std::string>{"chromium"});
}

std::shared_ptr<SSOExternalUserAgentCustomBrowser>
SSOExternalUserAgentCustomBrowser::CustomBrowserChrome() {
    return std::make_shared<SSOExternalUserAgentCustomBrowser>(
        URLTransformationIdentity(), std::vector<std::string>{"google-chrome"});
}

std::shared_ptr<SSOExternalUserAgentCustomBrowser>
SSOExternalUserAgentCustomBrowser::CustomBrowserFirefox() {
    return std::make_shared<SSOExternalUserAgentCustomBrowser>(URLTransformationIdentity(),
                                                               std::vector<std::string>{"firefox"});
}

std::shared_ptr<SSOExternalUserAgentCustomBrowser>
SSOExternalUserAgentCustomBrowser::CustomBrowserDefault() {
    return std::make_shared<SSOExternalUserAgentCustomBrowser>(
        URLTransformationIdentity(), std::vector<std::string>{"xdg-open"});
}

bool SSOExternalUserAgentCustomBrowser::presentExternalUserAgentRequest(
    const SSOAuthorizationRequest& request, const std::shared_ptr<SSOExternalUserAgentSession>&) {
    if (browserCommand_.empty() || !Browser::programExists(browserCommand_.front()))
        return false;
    std::optional<Url> url =
        transformation_ ? transformation_(request.externalUserAgentRequestURL()) : std::nullopt;
    return url && Browser::command(browserCommand_)->openURL(*url);
}

void SSOExternalUserAgentCustomBrowser::dismissExternalUserAgentAnimated(
    bool, std::function<void()> completion) {
    if (completion)
        completion();
}

}  // namespace quarra
