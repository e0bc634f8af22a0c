#include "sso/SSOURLSessionProvider.h"

#include <mutex>

#include "platform/URLSessionDataTasks.h"

namespace quarra {
namespace {

// Never destroyed: the session's thread and its requests may outlive main().
std::mutex gProviderMutex;
std::shared_ptr<URLSession>& gSession = *new std::shared_ptr<URLSession>();

}  // namespace

std::shared_ptr<URLSession> SSOURLSessionProvider::session() {
    std::lock_guard lock(gProviderMutex);
    if (!gSession)
        gSession = URLSessionDataTasks::makeSession();
    return gSession;
}

void SSOURLSessionProvider::setSession(std::shared_ptr<URLSession> session) {
    std::lock_guard lock(gProviderMutex);
    gSession = std::move(session);
}

}  // namespace quarra
