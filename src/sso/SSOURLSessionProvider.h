#pragma once
// The one URL session through which provider metadata, token and registration requests travel.
// Replace it before the first request (a session with its own trust or time-outs); a replacement
// must be made with URLSessionDataTasks::makeSession, since every request of the client waits for
// its whole reply. Replacing it does not cancel tasks already started on the previous one.
// Safe to call from any thread.
#include <memory>

#include "platform/URLSession.h"

namespace quarra {

class SSOURLSessionProvider {
  public:
    SSOURLSessionProvider() = delete;

    // The process-wide session; made with the default configuration on first use.
    static std::shared_ptr<URLSession> session();
    // Null makes the next session() call make a default one again.
    static void setSession(std::shared_ptr<URLSession> session);
};

}  // namespace quarra
