// The desktop agent's loopback redirect without a provider in between: a browser stand-in reads
// the redirect URI and state from the authorization URL and loads the redirect itself, over a
// plain socket to the address it chooses, so each form of loopback URI, each address a browser
// may resolve "localhost" to, and what the browser is shown can be checked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "quarra/RunLoop.h"
#include "sso/SSOAuthState.h"
#include "sso/SSOAuthorizationService.h"
#include "sso/SSOErrorUtilities.h"
#include "sso/SSOExternalUserAgentLinux.h"
#include "sso/SSOURLQueryComponent.h"

namespace quarra {
namespace {

constexpr auto kLoopbackLimit = std::chrono::seconds(120);
// The page of a redirect the flow took: the sign-in goes on in the application.
constexpr const char* kReturn = "return to the application";

// A connected socket to `address` ("127.0.0.1" or "::1"); -1 when none.
int connectTo(const std::string& address, int port) {
    bool v6 = address.find(':') != std::string::npos;
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t length;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &a->sin_addr);
        length = sizeof *a;
    }
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

void sendText(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
}

// Everything the peer sends until it closes.
std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

bool ipv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Loads "<redirect_uri>?<query>" for each of its queries in turn at `address`, as a browser (or
// another local program) would, on a thread of its own; `queries` gets the authorization URL's
// state. The pages shown land in `pages`.
struct RedirectingBrowser : Browser {
    // Outlives the browser in the thread that fills it.
    struct Pages {
        std::mutex mutex;
        std::vector<std::string> texts;
        std::atomic<bool> loaded{false};
    };
    std::string address = "127.0.0.1";
    std::function<std::vector<std::string>(const std::string& state)> queries;
    std::shared_ptr<Pages> pages = std::make_shared<Pages>();

    bool openURL(const Url& url) override {
        SSOURLQueryComponent parameters(url);
        Url redirect = *Url::parse(parameters.valuesForParameter("redirect_uri")->front());
        std::string state = parameters.valuesForParameter("state")->front();
        std::string path = redirect.path().empty() ? "/" : redirect.path();
        std::vector<std::string> requests;
        for (const std::string& query : queries(state)) {
            requests.push_back("GET " + path + "?" + query +
                               " HTTP/1.1\r\nHost: " + redirect.hostAndPort() + "\r\n\r\n");
        }
        std::thread([pages = pages, address = address, requests, port = *redirect.port()] {
            for (const std::string& request : requests) {
                int fd = connectTo(address, port);
                std::string answer;
                if (fd >= 0) {
                    sendText(fd, request);
                    answer = readAll(fd);
                    ::close(fd);
                }
                std::lock_guard lock(pages->mutex);
                pages->texts.push_back(answer);
            }
            pages->loaded = true;
        }).detach();
        return true;
    }
    bool loaded() const { return pages->loaded; }
    std::vector<std::string> shown() {
        std::lock_guard lock(pages->mutex);
        return pages->texts;
    }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct AuthorizationOutcome {
    int calls = 0;
    std::shared_ptr<SSOAuthorizationResponse> response;
    ErrorPtr error;
};

class SSOLoopbackTest : public testing::Test {
  protected:
    // Runs one authorization to its end and until the browser has its page.
    AuthorizationOutcome authorize(const std::string& configuredRedirect,
                                   const std::shared_ptr<RedirectingBrowser>& browser) {
        auto agent = std::make_shared<SSOExternalUserAgentLinux>(browser);
        Url redirect = agent->redirectURLForRequest(*Url::parse(configuredRedirect));
        EXPECT_TRUE(redirect.port()) << redirect.string();
        SSOServiceConfiguration configuration(*Url::parse("http://127.0.0.1:9/authorize"),
                                              *Url::parse("http://127.0.0.1:9/token"),
                                              std::nullopt);
        auto request = *SSOAuthorizationRequest::create(configuration, "client", std::nullopt,
                                                        std::vector<std::string>{"openid"},
                                                        redirect, SSOResponseTypeCode);
        AuthorizationOutcome outcome;
        auto flow = SSOAuthorizationService::presentAuthorizationRequest(
            request, agent,
            [&](const std::shared_ptr<SSOAuthorizationResponse>& r, const ErrorPtr& e) {
                ++outcome.calls;
                outcome.response = r;
                outcome.error = e;
            });
        EXPECT_TRUE(runMainUntil([&] { return outcome.calls > 0 && browser->loaded(); }, kLoopbackLimit));
        EXPECT_FALSE(agent->externalUserAgentFlowInProgress());
        return outcome;
    }
};

TEST_F(SSOLoopbackTest, EveryLoopbackFormSignsInOnTheAddressABrowserUses) {
    struct Case {
        const char* redirect;
        const char* address;
    };
    const Case cases[] = {
        {"http://127.0.0.1/callback", "127.0.0.1"}, {"http://127.0.0.1", "127.0.0.1"},
        {"http://127.0.0.1/", "127.0.0.1"},         {"http://localhost/callback", "127.0.0.1"},
        {"http://localhost/callback", "::1"},       {"http://localhost", "::1"},
        {"http://[::1]/callback", "::1"},           {"http://[::1]", "::1"},
        // As people write them: the host in any case, an empty port, the longer spellings.
        {"http://Localhost/cb", "127.0.0.1"},       {"http://LOCALHOST/cb", "::1"},
        {"http://127.0.0.1:/cb", "127.0.0.1"},      {"http://127.1/cb?x=1", "127.0.0.1"},
        {"http://[0:0:0:0:0:0:0:1]/cb", "::1"},     {"http://[::0001]", "::1"},
    };
    const bool v6 = ipv6Loopback();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.redirect) + " at " + c.address);
        if (!v6 && std::string(c.address) == "::1")
            continue;
        auto browser = std::make_shared<RedirectingBrowser>();
        browser->address = c.address;
        // A code with a space, written as form data writes it.
        browser->queries = [](const std::string& state) {
            return std::vector<std::string>{"code=c+1&state=" + state};
        };
        AuthorizationOutcome outcome = authorize(c.redirect, browser);
        ASSERT_TRUE(outcome.response) << (outcome.error ? outcome.error->description() : "");
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(outcome.response->authorizationCode(), "c 1");
        const std::string page = browser->shown().at(0);
        EXPECT_TRUE(contains(page, "200 OK")) << page;
        EXPECT_TRUE(contains(page, kReturn)) << page;
    }
}

TEST_F(SSOLoopbackTest, TheBrowserIsToldWhatTheFlowMadeOfTheRedirect) {
    const char* kNotOurs = "does not belong to the sign-in";
    struct Case {
        const char* name;
        std::function<std::vector<std::string>(const std::string& state)> queries;
        // The flow's outcome: an error, or (null) the code "real".
        const char* domain;
        long code;
        std::vector<const char*> pages;
    };
    const Case cases[] = {
        // A refusal without the flow's state is anybody's: the flow waits on for the real
        // redirect.
        {"refusal with a wrong state, then the real redirect",
         [](const std::string& state) {
             return std::vector<std::string>{"error=access_denied&state=anything",
                                             "code=real&state=" + state};
         },
         nullptr,
         0,
         {kNotOurs, kReturn}},
        {"refusal without state, then the real redirect",
         [](const std::string& state) {
             return std::vector<std::string>{"error=access_denied", "code=real&state=" + state};
         },
         nullptr,
         0,
         {kNotOurs, kReturn}},
        {"code with a wrong state",
         [](const std::string&) { return std::vector<std::string>{"code=c&state=other"}; },
         SSOOAuthAuthorizationErrorDomain,
         SSOOAuthErrorStateMismatch,
         {kNotOurs}},
        {"the provider's refusal",
         [](const std::string& state) {
             return std::vector<std::string>{
                 "error=access_denied&error_description=the+person+said+%3Cno%3E&state=" + state};
         },
         SSOOAuthAuthorizationErrorDomain,
         SSOOAuthErrorAccessDenied,
         {"access_denied: the person said &lt;no&gt;"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto browser = std::make_shared<RedirectingBrowser>();
        browser->queries = c.queries;
        AuthorizationOutcome outcome = authorize("http://127.0.0.1/callback", browser);
        EXPECT_EQ(outcome.calls, 1);
        if (c.domain) {
            EXPECT_FALSE(outcome.response);
            ASSERT_TRUE(outcome.error);
            EXPECT_TRUE(outcome.error->is(c.domain, c.code)) << outcome.error->description();
        } else {
            ASSERT_TRUE(outcome.response) << outcome.error->description();
            EXPECT_EQ(outcome.response->authorizationCode(), "real");
        }
        const std::vector<std::string> pages = browser->shown();
        ASSERT_EQ(pages.size(), c.pages.size());
        for (size_t i = 0; i < pages.size(); ++i) {
            EXPECT_TRUE(contains(pages[i], c.pages[i])) << pages[i];
            bool success = std::string(c.pages[i]) == kReturn;
            EXPECT_EQ(contains(pages[i], "200 OK"), success) << pages[i];
            // The state a page shows would be a gift to whoever sent the wrong one.
            EXPECT_FALSE(contains(pages[i], "expecting")) << pages[i];
        }
    }
}

// Idle clients and one that sends a byte now and then, all connected before the browser: none of
// them may keep the redirect waiting, however long they go on.
struct Crowd : RedirectingBrowser {
    std::vector<int> idle;
    std::atomic<bool> stop{false};
    std::thread dripper;

    bool openURL(const Url& url) override {
        SSOURLQueryComponent parameters(url);
        int port = *Url::parse(parameters.valuesForParameter("redirect_uri")->front())->port();
        for (int i = 0; i < 20; ++i)
            idle.push_back(connectTo("127.0.0.1", port));
        int drip = connectTo("127.0.0.1", port);
        sendText(drip, "G");
        dripper = std::thread([this, drip] {
            const std::string rest = "ET /callback HTTP/1.1\r\n";
            for (size_t i = 0; !stop; i = (i + 1) % rest.size()) {
                if (::send(drip, &rest[i], 1, MSG_NOSIGNAL) != 1)
                    break;
                // Plays a slow client; nothing waits on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ::close(drip);
        });
        return RedirectingBrowser::openURL(url);
    }
    ~Crowd() override {
        stop = true;
        if (dripper.joinable())
            dripper.join();
        for (int fd : idle) {
            if (fd >= 0)
                ::close(fd);
        }
    }
};

TEST_F(SSOLoopbackTest, ClientsThatSendNothingOrDripCannotHoldTheRedirectUp) {
    auto browser = std::make_shared<Crowd>();
    browser->queries = [](const std::string& state) {
        return std::vector<std::string>{"code=c&state=" + state};
    };
    AuthorizationOutcome outcome = authorize("http://127.0.0.1/callback", browser);
    ASSERT_TRUE(outcome.response) << (outcome.error ? outcome.error->description() : "");
    EXPECT_TRUE(contains(browser->shown().at(0), kReturn));
}

// The redirect was good, but the code could not be exchanged (the token endpoint is down): the page
// must not have told the person that the sign-in is complete.
TEST_F(SSOLoopbackTest, ThePageClaimsNoSignInThatTheExchangeThenFails) {
    auto browser = std::make_shared<RedirectingBrowser>();
    browser->queries = [](const std::string& state) {
        return std::vector<std::string>{"code=c&state=" + state};
    };
    auto agent = std::make_shared<SSOExternalUserAgentLinux>(browser);
    Url redirect = agent->redirectURLForRequest(*Url::parse("http://127.0.0.1/callback"));
    // Nothing listens on the discard port: the token request is refused.
    SSOServiceConfiguration configuration(*Url::parse("http://127.0.0.1:9/authorize"),
                                          *Url::parse("http://127.0.0.1:9/token"), std::nullopt);
    auto request = *SSOAuthorizationRequest::create(configuration, "client", std::nullopt,
                                                    std::vector<std::string>{"openid"}, redirect,
                                                    SSOResponseTypeCode);
    int calls = 0;
    ErrorPtr error;
    auto flow = SSOAuthState::authStateByPresentingAuthorizationRequest(
        request, agent, [&](const std::shared_ptr<SSOAuthState>& state, const ErrorPtr& e) {
            ++calls;
            EXPECT_FALSE(state);
            error = e;
        });
    ASSERT_TRUE(runMainUntil([&] { return calls > 0 && browser->loaded(); }, kLoopbackLimit));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeNetwork)) << error->description();
    const std::string page = browser->shown().at(0);
    EXPECT_TRUE(contains(page, kReturn)) << page;
    EXPECT_FALSE(contains(page, "complete")) << page;
    EXPECT_FALSE(contains(page, "Signed in")) << page;
}

// A redirect URI that cannot be listened on as written fails the flow at once with what is wrong,
// and the browser is never opened.
TEST_F(SSOLoopbackTest, ARedirectThatCannotBeListenedForFailsBeforeTheBrowserOpens) {
    // A port another program has.
    int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    struct Case {
        std::string redirect;
        const char* text;
    };
    const Case cases[] = {
        {"http://127.0.0.1:" + port + "/cb", "port is in use by another program (127.0.0.1:"},
        {"http://LocalHost:" + port + "/cb", "port is in use by another program (localhost:"},
        {"http://127.0.0.1:0/cb", "names port 0"},
        {"http://127.0.0.2:4711/cb", "no loopback address"},
        {"http://sso.example.com/cb", "no loopback address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.redirect);
        struct CountingBrowser : Browser {
            int opened = 0;
            bool openURL(const Url&) override {
                ++opened;
                return true;
            }
        };
        auto browser = std::make_shared<CountingBrowser>();
        auto agent = std::make_shared<SSOExternalUserAgentLinux>(browser);
        SSOServiceConfiguration configuration(*Url::parse("http://127.0.0.1:9/authorize"),
                                              *Url::parse("http://127.0.0.1:9/token"),
                                              std::nullopt);
        auto request = *SSOAuthorizationRequest::create(
            configuration, "client", std::nullopt, std::vector<std::string>{"openid"},
            agent->redirectURLForRequest(*Url::parse(c.redirect)), SSOResponseTypeCode);
        int calls = 0;
        ErrorPtr error;
        auto flow = SSOAuthorizationService::presentAuthorizationRequest(
            request, agent,
            [&](const std::shared_ptr<SSOAuthorizationResponse>&, const ErrorPtr& e) {
                ++calls;
                error = e;
            });
        RunLoop::main().runPending();
        EXPECT_EQ(calls, 1);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeBrowserUnavailable));
        EXPECT_TRUE(contains(error->localizedDescription(), c.text))
            << error->localizedDescription();
        EXPECT_EQ(browser->opened, 0);
        EXPECT_FALSE(agent->externalUserAgentFlowInProgress());
    }
    ::close(taken);
}

// A flow that ended (cancelled, timed out) a moment before its redirect arrived, while the agent
// still held it: the browser is told the sign-in no longer waits, not that the reply is a stranger.
TEST_F(SSOLoopbackTest, ARedirectJustAfterTheFlowEndedIsToldItIsNoLongerWaitedFor) {
    struct EndedSession : SSOExternalUserAgentSession {
        void cancel() override {}
        bool resumeExternalUserAgentFlowWithURL(const Url&, ErrorPtr&) override { return false; }
        void failExternalUserAgentFlowWithError(const ErrorPtr&) override {}
        bool isWaiting() const override { return false; }
    };
    auto browser = std::make_shared<RedirectingBrowser>();
    browser->queries = [](const std::string& state) {
        return std::vector<std::string>{"code=c&state=" + state};
    };
    auto agent = std::make_shared<SSOExternalUserAgentLinux>(browser);
    SSOServiceConfiguration configuration(*Url::parse("http://127.0.0.1:9/authorize"),
                                          *Url::parse("http://127.0.0.1:9/token"), std::nullopt);
    auto request = *SSOAuthorizationRequest::create(
        configuration, "client", std::nullopt, std::vector<std::string>{"openid"},
        agent->redirectURLForRequest(*Url::parse("http://127.0.0.1/cb")), SSOResponseTypeCode);
    ASSERT_TRUE(agent->presentExternalUserAgentRequest(request, std::make_shared<EndedSession>()));
    ASSERT_TRUE(runMainUntil([&] { return browser->loaded(); }, kLoopbackLimit));
    const std::string page = browser->shown().at(0);
    EXPECT_TRUE(contains(page, "The sign-in is no longer waiting.")) << page;
    agent->cleanUp();
}

}  // namespace
}  // namespace quarra
