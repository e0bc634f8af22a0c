#pragma once
// The SDK's own record of the signed-in user: the public user plus the current Quarra. The session
// id is not stored here; every read fetches it from the keychain, so it is always the current one.
#include <optional>
#include <string>

#include "platform/KeyedArchiver.h"
#include "quarra/TVKUser.h"

namespace quarra {

class TVKUserInternal : public TVKUser {
  public:
    static constexpr const char* ArchiveClassName = "TVKUserInternal";

    TVKUserInternal(std::string username, std::vector<TVKQuarraPtr> quarras,
                    TVKQuarraPtr currentQuarra, std::uint64_t userId);

    // The Quarra the session belongs to; null when none.
    const TVKQuarraPtr& currentQuarra() const { return currentQuarra_; }
    // The stored session id, read from the keychain at every call; nothing when none is stored.
    std::optional<std::string> sessionId() const;
    // The user name encrypted with the SDK's public key (upper-case hex), as stored for this user;
    // made and stored at the first read. Nothing when it can neither be read nor made.
    std::optional<std::string> encryptedUsername() const;

    // Equal as users, with equal current Quarras and the same stored session id (so two records
    // are unequal whenever no session id is stored).
    bool isEqual(const TVKUser& other) const override;
    // "username:%@; quarras:%@; currentQuarra:%@; userId:%lu; sessionId:%@".
    std::string description() const override;

    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<TVKUserInternal> initWithCoder(KeyedUnarchiver& coder);

    // The classes a user archive may hold, for KeyedUnarchiver.
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

  private:
    TVKUserInternal() = default;

    TVKQuarraPtr currentQuarra_;
};

using TVKUserInternalPtr = std::shared_ptr<TVKUserInternal>;

}  // namespace quarra
