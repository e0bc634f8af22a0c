#include "support/QuarraTestService.h"

#include <httplib.h>

#include <chrono>

#include "support/JwtVerifier.h"

namespace quarra::test {

Reply QuarraTestService::success(Json body) {
    body["responseStatus"] = "SUCCESS";
    return Reply::json(body.dump());
}

Reply QuarraTestService::failure(const std::string& type, const std::string& message, int status) {
    Json body = {{"responseStatus", "FAILURE"},
                 {"errors", Json::array({{{"type", type}, {"message", message}}})}};
    return Reply::json(body.dump(), status);
}

std::string QuarraTestService::param(const RecordedRequest& request, const std::string& name) {
    auto it = request.params.find(name);
    return it == request.params.end() ? std::string() : it->second;
}

std::string QuarraTestService::apiPath(const std::string& endpoint) const {
    return "/api/v" + apiVersion_ + "/" + endpoint.substr(0, endpoint.find('?'));
}

std::string QuarraTestService::host(std::uint64_t Id) const {
    std::lock_guard lock(mutex_);
    auto it = quarras_.find(Id);
    return it == quarras_.end() ? std::string() : it->second.host;
}

Json QuarraTestService::id(std::uint64_t value) const {
    return idsAsStrings_ ? Json(std::to_string(value)) : Json(value);
}

void QuarraTestService::serveSignInHost(QuarraTestServer& server) {
    server.route("/auth/discovery", [this](const RecordedRequest& r) { return discovery(r); });
    server.route("/auth/api", [this](const RecordedRequest& r) { return signIn(r); });
}

void QuarraTestService::serveQuarra(QuarraTestServer& server, std::uint64_t Id, std::string name) {
    addQuarra(Id, std::move(name), "127.0.0.1:" + std::to_string(server.port()));
    server.route(apiPath("auth"),
                 [this, Id](const RecordedRequest& r) { return quarraSignIn(Id, r); });
    server.route(apiPath("objects/users/me"),
                 [this, Id](const RecordedRequest& r) { return usersMe(Id, r); });
    std::lock_guard lock(mutex_);
    servers_[Id] = &server;
}

void QuarraTestService::addQuarra(std::uint64_t Id, std::string name, std::string host) {
    std::lock_guard lock(mutex_);
    quarras_[Id] = {std::move(name), std::move(host)};
}

void QuarraTestService::addUser(User user) {
    std::lock_guard lock(mutex_);
    std::string name = user.username;
    users_[name] = std::move(user);
}

void QuarraTestService::addEndpoint(std::uint64_t Id, const std::string& name, Endpoint reply) {
    QuarraTestServer* server;
    {
        std::lock_guard lock(mutex_);
        endpoints_[{Id, name}] = std::move(reply);
        server = servers_.at(Id);
    }
    server->route(apiPath(name),
                  [this, Id, name](const RecordedRequest& r) { return endpoint(Id, name, r); });
}

void QuarraTestService::expireSessions() {
    std::lock_guard lock(mutex_);
    sessions_.clear();
}

std::optional<std::uint64_t> QuarraTestService::sessionQuarra(const std::string& sessionId) const {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(sessionId);
    if (it == sessions_.end())
        return std::nullopt;
    return it->second.quarra;
}

void QuarraTestService::setAuthMakesCurrent(std::optional<std::uint64_t> Id) {
    std::lock_guard lock(mutex_);
    authMakesCurrent_ = Id;
}

void QuarraTestService::setSingleSignOnUser(const std::string& username) {
    std::lock_guard lock(mutex_);
    singleSignOnUser_ = username;
    singleSignOnProfile_ = nullptr;
}

void QuarraTestService::setSingleSignOnProfile(const std::string& username, Json profile) {
    std::lock_guard lock(mutex_);
    singleSignOnUser_ = username;
    singleSignOnProfile_ = std::move(profile);
}

void QuarraTestService::serveSessionExchange(QuarraTestServer& server, std::string issuer) {
    server.route("/oauth/session", [this, issuer = std::move(issuer)](const RecordedRequest& r) {
        return exchange(issuer, r);
    });
}

void QuarraTestService::expireExchangeTokens(int count) {
    std::lock_guard lock(mutex_);
    expiredExchanges_ = count;
}

int QuarraTestService::exchangedSessions() const {
    std::lock_guard lock(mutex_);
    return exchangedSessions_;
}

Reply QuarraTestService::exchange(const std::string& issuer, const RecordedRequest& request) {
    const std::string authorization = request.header("Authorization");
    if (authorization.rfind("Bearer ", 0) != 0)
        return failure("USERNAME_OR_PASSWORD_INCORRECT", "No bearer token");
    // The provider's keys as they are now, outside the lock: the provider is another process.
    Json jwks;
    if (auto keys = httplib::Client(issuer).Get("/jwks"); keys && keys->status == 200)
        jwks = Json::parse(keys->body, nullptr, false);
    std::string why;
    auto claims = verifyRS256(authorization.substr(7), jwks, &why);
    const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    if (!claims)
        return failure("USERNAME_OR_PASSWORD_INCORRECT", "Token refused: " + why);
    if (claims->value("iss", "") != issuer ||
        claims->value("aud", "") != param(request, "client_id"))
        return failure("USERNAME_OR_PASSWORD_INCORRECT", "Token for another issuer or client");
    if (!claims->value("exp", Json()).is_number() || claims->value("exp", 0LL) <= now)
        return failure("EXPIRED_TOKEN", "Token expired");

    std::lock_guard lock(mutex_);
    if (expiredExchanges_ > 0) {
        --expiredExchanges_;
        return failure("EXPIRED_TOKEN", "Token expired");
    }
    auto user = users_.find(claims->value("sub", ""));
    if (user == users_.end() || user->second.quarras.empty())
        return failure("USERNAME_OR_PASSWORD_INCORRECT", "No such user");
    const User& u = user->second;
    std::uint64_t current = u.defaultQuarra.value_or(u.quarras.front());
    Json quarraIds = Json::array();
    for (std::uint64_t q : u.quarras) {
        quarraIds.push_back(
            {{"id", id(q)}, {"name", quarras_.at(q).name}, {"url", quarras_.at(q).host}});
    }
    ++exchangedSessions_;
    return success({{"sessionId", newSession(u.username, current)},
                    {"quarraIds", quarraIds},
                    {"quarraId", id(current)},
                    {"userId", id(u.userId)}});
}

void QuarraTestService::setIdsAsStrings(bool strings) {
    std::lock_guard lock(mutex_);
    idsAsStrings_ = strings;
}

int QuarraTestService::headerFaults() const {
    std::lock_guard lock(mutex_);
    return headerFaults_;
}

std::optional<std::string> QuarraTestService::headerFault(const RecordedRequest& request,
                                                          bool signInHost) const {
    if (request.header("User-Agent").find("QuarraMobileSDK/") == std::string::npos)
        return "User-Agent does not name the SDK";
    if (request.header("ClientID").empty())
        return "ClientID missing";
    if (signInHost && !request.header("Authorization").empty())
        return "Authorization sent to the sign-in host";
    return std::nullopt;
}

std::optional<Reply> QuarraTestService::refuseHeaders(const RecordedRequest& request,
                                                      bool signInHost) {
    auto fault = headerFault(request, signInHost);
    if (!fault)
        return std::nullopt;
    ++headerFaults_;
    return failure("INVALID_DATA", *fault, 400);
}

std::string QuarraTestService::newSession(const std::string& username, std::uint64_t Id) {
    std::string sessionId = "session-" + std::to_string(nextSession_++) + "-" + std::to_string(Id);
    sessions_[sessionId] = {username, Id};
    return sessionId;
}

const QuarraTestService::User* QuarraTestService::userOfSession(
    const std::string& sessionId, std::optional<std::uint64_t> Id) const {
    auto session = sessions_.find(sessionId);
    if (session == sessions_.end() || (Id && session->second.quarra != *Id))
        return nullptr;
    auto user = users_.find(session->second.username);
    return user == users_.end() ? nullptr : &user->second;
}

Reply QuarraTestService::discovery(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    if (auto refusal = refuseHeaders(request, true))
        return *refusal;
    std::string username = param(request, "username");
    if (!username.empty() && username == singleSignOnUser_ && !singleSignOnProfile_.is_null())
        return success(
            {{"data", {{"auth_type", "sso"}, {"auth_profiles", {singleSignOnProfile_}}}}});
    if (!username.empty() && username == singleSignOnUser_) {
        Json profile = {{"as_metadata", {{"issuer", "https://127.0.0.1"}}},
                        {"quarra_session_endpoint", "https://127.0.0.1/session"}};
        return success({{"data", {{"auth_type", "sso"}, {"auth_profiles", {profile}}}}});
    }
    return success({{"data", {{"auth_type", "password"}}}});
}

Reply QuarraTestService::signIn(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    if (auto refusal = refuseHeaders(request, true))
        return *refusal;
    auto user = users_.find(param(request, "username"));
    std::string password = param(request, "password");
    // A live session of the user serves as its password (a refresh).
    bool authenticated =
        user != users_.end() && (password == user->second.password ||
                                 (userOfSession(password, std::nullopt) == &user->second));
    if (!authenticated)
        return failure("USERNAME_OR_PASSWORD_INCORRECT", "Invalid username or password");
    const User& u = user->second;
    if (u.quarras.empty())
        return success({{"sessionid", ""}, {"defaultUrl", "https:///api"}, {"quarras", {}}});
    std::uint64_t current = u.defaultQuarra.value_or(u.quarras.front());
    Json quarras = Json::array();
    for (std::uint64_t Id : u.quarras) {
        const Quarra& q = quarras_.at(Id);
        quarras.push_back({{"quarraID", id(Id)}, {"name", q.name}, {"dnsName", q.host}});
    }
    return success({{"sessionid", newSession(u.username, current)},
                    {"defaultUrl", quarras_.at(current).host},
                    {"quarras", quarras}});
}

Reply QuarraTestService::quarraSignIn(std::uint64_t Id, const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    if (auto refusal = refuseHeaders(request, true))
        return *refusal;
    const User* user = userOfSession(param(request, "password"), std::nullopt);
    if (!user || user->username != param(request, "username"))
        return failure("USERNAME_OR_PASSWORD_INCORRECT", "Invalid session");
    bool member = false;
    Json quarraIds = Json::array();
    for (std::uint64_t q : user->quarras) {
        member = member || q == Id;
        quarraIds.push_back(
            {{"id", id(q)}, {"name", quarras_.at(q).name}, {"url", quarras_.at(q).host}});
    }
    if (!member)
        return failure("INSUFFICIENT_ACCESS", "Not a member of this quarra");
    std::uint64_t current = authMakesCurrent_.value_or(Id);
    // The Quarra names the current Quarra as text, whatever the other ids are.
    return success({{"sessionId", newSession(user->username, current)},
                    {"quarraIds", quarraIds},
                    {"quarraId", std::to_string(current)},
                    {"userId", id(user->userId)}});
}

Reply QuarraTestService::usersMe(std::uint64_t Id, const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    if (auto refusal = refuseHeaders(request, false))
        return *refusal;
    const User* user = userOfSession(request.header("Authorization"), Id);
    if (!user)
        return failure("INVALID_SESSION_ID", "Session expired");
    return success({{"data", {{"id", id(user->userId)}, {"username", user->username}}}});
}

Reply QuarraTestService::endpoint(std::uint64_t Id, const std::string& name,
                                  const RecordedRequest& request) {
    Endpoint reply;
    User user;
    {
        std::lock_guard lock(mutex_);
        if (auto refusal = refuseHeaders(request, false))
            return *refusal;
        const User* known = userOfSession(request.header("Authorization"), Id);
        if (!known)
            return failure("INVALID_SESSION_ID", "Session expired");
        user = *known;
        reply = endpoints_.at({Id, name});
    }
    return reply(request, user);
}

}  // namespace quarra::test
