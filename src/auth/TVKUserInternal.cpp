#include "auth/TVKUserInternal.h"

#include "auth/KeychainItemStore.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {

TVKUserInternal::TVKUserInternal(std::string username, std::vector<TVKQuarraPtr> quarras,
                                 TVKQuarraPtr currentQuarra, std::uint64_t userId)
    : TVKUser(std::move(username), std::move(quarras), userId),
      currentQuarra_(std::move(currentQuarra)) {}

std::optional<std::string> TVKUserInternal::encryptedUsername() const {
    return TVKQuarraCryptManager::sharedInstance().encryptedUsername(username());
}

std::optional<std::string> TVKUserInternal::sessionId() const {
    // Unreadable reads as none here; the sign-in paths read the keychain themselves and fail.
    return KeychainItemStore::getSessionId().valueOr(std::nullopt);
}

bool TVKUserInternal::isEqual(const TVKUser& other) const {
    if (this == &other)
        return true;
    auto* internal = dynamic_cast<const TVKUserInternal*>(&other);
    if (!internal || !TVKUser::isEqual(other) || !currentQuarra_ || !internal->currentQuarra_ ||
        !currentQuarra_->isEqual(*internal->currentQuarra_)) {
        return false;
    }
    auto session = sessionId();
    return session && session == internal->sessionId();
}

std::string TVKUserInternal::description() const {
    return "username:" + username() + "; quarras:" + quarrasDescription() +
           "; currentQuarra:" + (currentQuarra_ ? currentQuarra_->description() : "(null)") +
           "; userId:" + std::to_string(userId()) + "; sessionId:" + sessionId().value_or("(null)");
}

void TVKUserInternal::encodeWithCoder(KeyedArchiver& coder) const {
    TVKUser::encodeWithCoder(coder);
    coder.encodeObject(currentQuarra_, "currentQuarra");
}

std::shared_ptr<TVKUserInternal> TVKUserInternal::initWithCoder(KeyedUnarchiver& coder) {
    std::shared_ptr<TVKUserInternal> user(new TVKUserInternal());
    if (!user->decodeUser(coder))
        return nullptr;
    user->currentQuarra_ = coder.decodeObject<TVKQuarra>("currentQuarra");
    return coder.error() ? nullptr : user;
}

std::vector<KeyedUnarchiver::AllowedClass> TVKUserInternal::archiveClasses() {
    return {KeyedUnarchiver::allow<TVKUserInternal>(), KeyedUnarchiver::allow<TVKQuarra>()};
}

}  // namespace quarra
