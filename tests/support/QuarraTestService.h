#pragma once
// The sign-in host and the Quarra API, played on Quarra test servers: users with passwords and
// Quarras, and the sessions the server hands out. One service holds the accounts; each test server
// it is attached to serves the sign-in host ("auth/discovery", "auth/api") and/or one Quarra
// ("/api/v<version>/auth", "objects/users/me" and any endpoint a test adds). Replies have the
// server's shapes: "responseStatus" "SUCCESS", or "FAILURE" with "errors" [{"type", "message"}].
//
// Every Quarra request must carry "User-Agent" (naming the SDK) and "ClientID"; the sign-in
// endpoints must carry no "Authorization". A request that breaks this is answered with an
// "INVALID_DATA" failure naming the fault, and counted in headerFaults().
//
// Thread-safe: accounts may change while requests are served.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Json.h"
#include "support/QuarraTestServer.h"

namespace quarra::test {

class QuarraTestService {
  public:
    struct User {
        std::string username;
        std::string password;
        std::uint64_t userId = 0;
        std::vector<std::uint64_t> quarras;
        // The Quarra "auth/api" signs in to; the first of `quarras` when none.
        std::optional<std::uint64_t> defaultQuarra;
    };
    // Answers a request to an endpoint a test added, once the session has been checked.
    using Endpoint = std::function<Reply(const RecordedRequest& request, const User& user)>;

    explicit QuarraTestService(std::string apiVersion = "1") : apiVersion_(std::move(apiVersion)) {}
    QuarraTestService(const QuarraTestService&) = delete;
    QuarraTestService& operator=(const QuarraTestService&) = delete;

    // `server` answers "auth/discovery" and "auth/api".
    void serveSignInHost(QuarraTestServer& server);
    // `server` is the Quarra `Id`; its address is the server's "127.0.0.1:<port>".
    void serveQuarra(QuarraTestServer& server, std::uint64_t Id, std::string name);
    // A Quarra the sign-in host lists but no server answers for.
    void addQuarra(std::uint64_t Id, std::string name, std::string host);
    void addUser(User user);
    // An endpoint of Quarra `Id` ("objects/documents"): requests with a session of that Quarra get
    // `endpoint`'s reply, others an "INVALID_SESSION_ID" failure.
    void addEndpoint(std::uint64_t Id, const std::string& endpoint, Endpoint reply);

    // The path of `endpoint` on a Quarra: "/api/v<version>/<endpoint>".
    std::string apiPath(const std::string& endpoint) const;
    // "host:port" of a Quarra.
    std::string host(std::uint64_t Id) const;

    // Every session handed out so far is rejected from now on.
    void expireSessions();
    // The Quarra of a live session, if it is one.
    std::optional<std::uint64_t> sessionQuarra(const std::string& sessionId) const;
    // A Quarra's "auth" makes this Quarra current instead of itself.
    void setAuthMakesCurrent(std::optional<std::uint64_t> Id);
    // Discovery answers single sign-on for this user (with a profile holding "as_metadata").
    void setSingleSignOnUser(const std::string& username);
    // Discovery answers single sign-on for this user with `profile` ("as_metadata",
    // "quarra_session_endpoint").
    void setSingleSignOnProfile(const std::string& username, Json profile);
    // `server` answers "/oauth/session", the trade of an identity provider's ID token for a
    // session: the bearer token must be an RS256 JWT signed with a key that `issuer` publishes,
    // issued by it for the "client_id" sent, not expired, naming a user as its subject.
    void serveSessionExchange(QuarraTestServer& server, std::string issuer);
    // The next `count` token exchanges are answered "EXPIRED_TOKEN".
    void expireExchangeTokens(int count);
    // Token exchanges answered with a session.
    int exchangedSessions() const;
    // Ids in replies as decimal strings instead of numbers.
    void setIdsAsStrings(bool strings);

    int headerFaults() const;

    static Reply success(Json body = Json::object());
    static Reply failure(const std::string& type, const std::string& message, int status = 200);

  private:
    struct Quarra {
        std::string name;
        std::string host;
    };

    Reply discovery(const RecordedRequest& request);
    Reply signIn(const RecordedRequest& request);
    Reply quarraSignIn(std::uint64_t Id, const RecordedRequest& request);
    Reply usersMe(std::uint64_t Id, const RecordedRequest& request);
    Reply exchange(const std::string& issuer, const RecordedRequest& request);
    Reply endpoint(std::uint64_t Id, const std::string& name, const RecordedRequest& request);
    // The fault of a request's headers, if any.
    std::optional<std::string> headerFault(const RecordedRequest& request, bool signInHost) const;
    // The failure reply for a request whose headers are at fault, counted. REQUIRES: mutex_ held.
    std::optional<Reply> refuseHeaders(const RecordedRequest& request, bool signInHost);
    // REQUIRES: mutex_ held.
    std::string newSession(const std::string& username, std::uint64_t Id);
    const User* userOfSession(const std::string& sessionId, std::optional<std::uint64_t> Id) const;
    Json id(std::uint64_t value) const;
    static std::string param(const RecordedRequest& request, const std::string& name);

    const std::string apiVersion_;
    mutable std::mutex mutex_;
    std::map<std::uint64_t, Quarra> quarras_;
    std::map<std::uint64_t, QuarraTestServer*> servers_;
    std::map<std::string, User> users_;
    struct Session {
        std::string username;
        std::uint64_t quarra;
    };
    std::map<std::string, Session> sessions_;
    std::map<std::pair<std::uint64_t, std::string>, Endpoint> endpoints_;
    std::uint64_t nextSession_ = 1;
    std::optional<std::uint64_t> authMakesCurrent_;
    std::string singleSignOnUser_;
    Json singleSignOnProfile_;
    int expiredExchanges_ = 0;
    int exchangedSessions_ = 0;
    bool idsAsStrings_ = false;
    int headerFaults_ = 0;
};

}  // namespace quarra::test
