#include "quarra/TVKUser.h"

#include "platform/KeyedArchiver.h"

namespace quarra {

TVKUser::TVKUser(std::string username, std::vector<TVKQuarraPtr> quarras, std::uint64_t userId)
    : username_(std::move(username)), quarras_(std::move(quarras)), userId_(userId) {}

bool TVKUser::isEqual(const TVKUser& other) const {
    if (this == &other)
        return true;
    if (username_ != other.username_ || userId_ != other.userId_ ||
        quarras_.size() != other.quarras_.size()) {
        return false;
    }
    for (size_t i = 0; i < quarras_.size(); ++i) {
        if (!quarras_[i]->isEqual(*other.quarras_[i]))
            return false;
    }
    return true;
}

std::string TVKUser::quarrasDescription() const {
    std::string text = "(";
    for (size_t i = 0; i < quarras_.size(); ++i) {
        text += (i ? ", " : "") + quarras_[i]->description();
    }
    return text + ")";
}

std::string TVKUser::description() const {
    return "username:" + username_ + "; quarras:" + quarrasDescription() +
           " userId:" + std::to_string(userId_);
}

void TVKUser::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeString(username_, "username");
    coder.encodeObjects(quarras_, "quarras");
    coder.encodeUInt64(userId_, "userId");
}

bool TVKUser::decodeUser(KeyedUnarchiver& coder) {
    username_ = coder.decodeString("username").value_or("");
    quarras_ = coder.decodeObjects<TVKQuarra>("quarras").value_or(std::vector<TVKQuarraPtr>{});
    userId_ = coder.decodeUInt64("userId").value_or(0);
    return !coder.error();
}

std::shared_ptr<TVKUser> TVKUser::initWithCoder(KeyedUnarchiver& coder) {
    std::shared_ptr<TVKUser> user(new TVKUser());
    return user->decodeUser(coder) ? user : nullptr;
}

}  // namespace quarra
