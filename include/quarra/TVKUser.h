#pragma once
// The public view of a signed-in user, handed to the host. Immutable once made.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quarra/TVKQuarra.h"
#include "quarra/Coding.h"

namespace quarra {

class TVKUser : public Coding {
  public:
    static constexpr const char* ArchiveClassName = "TVKUser";

    // `quarras` in the order of the sign-in reply; empty when it had none. `userId` 0: none given.
    TVKUser(std::string username, std::vector<TVKQuarraPtr> quarras, std::uint64_t userId);
    TVKUser(const TVKUser&) = delete;
    TVKUser& operator=(const TVKUser&) = delete;

    const std::string& username() const { return username_; }
    const std::vector<TVKQuarraPtr>& quarras() const { return quarras_; }
    std::uint64_t userId() const { return userId_; }

    // The same object, or a user (of any kind) with equal user name, Quarras and user id.
    virtual bool isEqual(const TVKUser& other) const;
    // "username:%@; quarras:%@ userId:%lu".
    virtual std::string description() const;

    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<TVKUser> initWithCoder(KeyedUnarchiver& coder);

  protected:
    TVKUser() = default;
    // The three stored values of an archive into this object; false when the archive is unusable.
    bool decodeUser(KeyedUnarchiver& coder);
    std::string quarrasDescription() const;

  private:
    std::string username_;
    std::vector<TVKQuarraPtr> quarras_;
    std::uint64_t userId_ = 0;
};

using TVKUserPtr = std::shared_ptr<TVKUser>;

}  // namespace quarra
