#pragma once
// Session operations the public facade keeps to itself: the sign-in host, Quarra lookup, spoiling
// the session on request and password sign-in without a screen. Every call is passed to the
// session manager; handlers run on the main queue. Call from the main thread.
#include <cstdint>
#include <string>

#include "quarra/TVKQuarra.h"
#include "quarra/TVKQuarraAuth.h"

namespace quarra {

class TVKQuarraAuthInternal {
  public:
    static TVKQuarraAuthInternal& sharedInstance();

    TVKQuarraAuthInternal(const TVKQuarraAuthInternal&) = delete;
    TVKQuarraAuthInternal& operator=(const TVKQuarraAuthInternal&) = delete;

    // The sign-in host ("name" or "name:port") that discovery and password sign-in use.
    std::string authDNS() const;
    void setAuthDNS(std::string authDNS);
    // The signed-in user's Quarra with that id; null, with the -3 error when asked, when none.
    Result<TVKQuarraPtr> quarraWithId(std::uint64_t Id) const;
    // Makes the server reject the stored session on the next request (only when signed in).
    void invalidateSession();
    // Password sign-in; the password is kept only with the user's biometric opt-in.
    void authenticateWithUsername(const std::string& username, const std::string& password,
                                  TVKQuarraAuth::UserHandler handler);

  private:
    TVKQuarraAuthInternal() = default;
};

}  // namespace quarra
