#include "auth/TVKQuarraAuthInternal.h"

#include "auth/TVKQuarraAuthManager.h"

namespace quarra {

TVKQuarraAuthInternal& TVKQuarraAuthInternal::sharedInstance() {
    static TVKQuarraAuthInternal* instance = new TVKQuarraAuthInternal();
    return *instance;
}

std::string TVKQuarraAuthInternal::authDNS() const {
    return TVKQuarraAuthManager::sharedInstance().authDNS();
}

void TVKQuarraAuthInternal::setAuthDNS(std::string authDNS) {
    TVKQuarraAuthManager::sharedInstance().setAuthDNS(std::move(authDNS));
}

Result<TVKQuarraPtr> TVKQuarraAuthInternal::quarraWithId(std::uint64_t Id) const {
    return TVKQuarraAuthManager::sharedInstance().quarraWithId(Id);
}

void TVKQuarraAuthInternal::invalidateSession() {
    TVKQuarraAuthManager::sharedInstance().invalidateSession();
}

void TVKQuarraAuthInternal::authenticateWithUsername(const std::string& username,
                                                     const std::string& password,
                                                     TVKQuarraAuth::UserHandler handler) {
    TVKQuarraAuthManager::sharedInstance().loginToAuthServerWithUsername(
        username, password,
        [handler = std::move(handler)](const TVKUserInternalPtr& user, const ErrorPtr& error) {
            if (handler)
                handler(user, error);
        });
}

}  // namespace quarra
