#include "support/ProviderTestDriver.h"

#include <httplib.h>

#include <map>
#include <regex>
#include <thread>

#include "quarra/Dispatch.h"
#include "sso/SSOErrorUtilities.h"

namespace quarra::test {
namespace {

// Path and query of a URL.
std::string target(const Url& url) {
    std::string text = url.string();
    size_t authority = text.find("//");
    size_t path = text.find('/', authority == std::string::npos ? 0 : authority + 2);
    std::string rest = path == std::string::npos ? "/" : text.substr(path);
    return rest.substr(0, rest.find('#'));
}

std::string cookieHeader(const std::map<std::string, std::string>& jar) {
    std::string header;
    for (const auto& [name, value] : jar)
        header += (header.empty() ? "" : "; ") + name + "=" + value;
    return header;
}

void keepCookies(const httplib::Response& response, std::map<std::string, std::string>& jar) {
    for (size_t i = 0; i < response.get_header_value_count("Set-Cookie"); ++i) {
        std::string cookie = response.get_header_value("Set-Cookie", i);
        cookie = cookie.substr(0, cookie.find(';'));
        size_t equals = cookie.find('=');
        if (equals == std::string::npos)
            continue;
        std::string value = cookie.substr(equals + 1);
        if (value.empty())
            jar.erase(cookie.substr(0, equals));
        else
            jar[cookie.substr(0, equals)] = value;
    }
}

}  // namespace

std::optional<Url> ProviderTestDriver::drive(const Url& authorizationURL, const Options& options,
                                             std::string* why) {
    auto fail = [why](std::string reason) -> std::optional<Url> {
        if (why)
            *why = std::move(reason);
        return std::nullopt;
    };
    const std::string origin = authorizationURL.scheme() + "://" + authorizationURL.hostAndPort();
    httplib::Client client(origin);
    std::map<std::string, std::string> jar;
    Url current = authorizationURL;
    std::optional<httplib::Params> form;
    for (int step = 0; step < 20; ++step) {
        httplib::Headers headers = {{"Cookie", cookieHeader(jar)}};
        auto result = form ? client.Post(target(current), headers, *form)
                           : client.Get(target(current), headers);
        form.reset();
        if (!result)
            return fail("no reply from " + current.string());
        keepCookies(*result, jar);
        if (result->status >= 300 && result->status < 400) {
            std::optional<Url> next = current.resolve(result->get_header_value("Location"));
            if (!next)
                return fail("bad redirect");
            if (next->scheme() + "://" + next->hostAndPort() != origin)
                return next;
            current = *next;
            continue;
        }
        if (result->status != 200)
            return fail("status " + std::to_string(result->status) + ": " + result->body);
        std::smatch action;
        static const std::regex kAction("<form[^>]*action=\"([^\"]+)\"");
        if (!std::regex_search(result->body, action, kAction))
            return fail("no form on " + current.string());
        std::optional<Url> submit = current.resolve(action[1].str());
        if (!submit)
            return fail("bad form action");
        if (result->body.find("name=\"login\"") != std::string::npos) {
            if (options.deny) {
                current = submit->appendingPathComponent("abort");
                continue;
            }
            form = httplib::Params{
                {"prompt", "login"}, {"login", options.login}, {"password", options.password}};
        } else {
            form = httplib::Params{{"prompt", "consent"}};
        }
        current = *submit;
    }
    return fail("too many pages");
}

ProviderTestBrowser::ProviderTestBrowser(ProviderTestDriver::Options options,
                                         SchemeHandler onSchemeRedirect)
    : options_(std::move(options)), onSchemeRedirect_(std::move(onSchemeRedirect)) {}

bool ProviderTestBrowser::openURL(const Url& url) {
    {
        std::lock_guard lock(mutex_);
        ++opened_;
    }
    std::thread([url, options = options_, onScheme = onSchemeRedirect_] {
        std::optional<Url> redirect = ProviderTestDriver::drive(url, options);
        if (!redirect)
            return;
        if (redirect->scheme() == "http") {
            // As a browser does: load the redirect, which reaches the loopback listener.
            httplib::Client(redirect->scheme() + "://" + redirect->hostAndPort())
                .Get(target(*redirect));
        } else if (onScheme) {
            DispatchQueue::main()->async([onScheme, redirect] { onScheme(*redirect); });
        }
    }).detach();
    return true;
}

int ProviderTestBrowser::opened() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

ProviderTestAgent::ProviderTestAgent(ProviderTestDriver::Options options,
                                     std::function<Url(const Url&)> rewrite)
    : options_(std::move(options)), rewrite_(std::move(rewrite)) {}

bool ProviderTestAgent::presentExternalUserAgentRequest(
    const SSOAuthorizationRequest& request,
    const std::shared_ptr<SSOExternalUserAgentSession>& session) {
    {
        std::lock_guard lock(mutex_);
        if (inProgress_)
            return false;
        inProgress_ = true;
    }
    std::weak_ptr<ProviderTestAgent> weakSelf = shared_from_this();
    Url url = request.externalUserAgentRequestURL();
    // The session is held until the redirect is handed over, as a browser session would.
    std::thread([weakSelf, session, url, options = options_, rewrite = rewrite_] {
        std::string why;
        std::optional<Url> redirect = ProviderTestDriver::drive(url, options, &why);
        if (redirect && rewrite)
            redirect = rewrite(*redirect);
        DispatchQueue::main()->async([weakSelf, session, redirect, why] {
            auto self = weakSelf.lock();
            if (!self)
                return;
            if (redirect) {
                std::lock_guard lock(self->mutex_);
                self->lastRedirect_ = redirect;
            }
            if (redirect && session->resumeExternalUserAgentFlowWithURL(*redirect))
                return;
            session->failExternalUserAgentFlowWithError(SSOErrorUtilities::errorWithCode(
                SSOErrorCodeUserCancelled, nullptr, redirect ? "not the flow's redirect" : why));
        });
    }).detach();
    return true;
}

void ProviderTestAgent::dismissExternalUserAgentAnimated(bool, std::function<void()> completion) {
    {
        std::lock_guard lock(mutex_);
        if (!inProgress_)
            return;
        inProgress_ = false;
    }
    if (completion)
        completion();
}

std::optional<Url> ProviderTestAgent::lastRedirect() const {
    std::lock_guard lock(mutex_);
    return lastRedirect_;
}

}  // namespace quarra::test
