#include "auth/KeychainItemStore.h"

#include <algorithm>
#include <charconv>

#include "core/TVKQuarraConfigurationManager.h"
#include "platform/Base64.h"

namespace quarra {
namespace {

KeychainQuery byIdentifier(const std::string& identifier) {
    KeychainQuery query;
    query.generic = identifier;
    return query;
}

std::string root() {
    return TVKQuarraConfigurationManager::sharedInstance().keychainIdentifierRoot();
}

// The attribute of an item; nullopt when it is empty, an error when the keychain could not be read.
Result<std::optional<std::string>> read(const std::string& identifier, KeychainAttribute key) {
    KeychainItemStore item(identifier);
    if (item.readError())
        return item.readError();
    std::string value = item.objectForKey(key);
    if (value.empty())
        return std::optional<std::string>();
    return std::optional<std::string>(std::move(value));
}

}  // namespace

KeychainItemStore::KeychainItemStore(std::string identifier, std::optional<std::string>)
    : identifier_(std::move(identifier)) {
    auto found = Keychain::standard().copyMatching(byIdentifier(identifier_));
    if (!found)
        readError_ = found.error();
    else if (*found)
        item_ = std::move(**found);
    exists_ = found && found->has_value();
    item_.generic = identifier_;
}

ErrorPtr KeychainItemStore::setObject(const std::string& value, KeychainAttribute key) {
    return setObjects({{value, key}});
}

ErrorPtr KeychainItemStore::setObjects(
    const std::vector<std::pair<std::string, KeychainAttribute>>& values) {
    bool changed = false;
    for (const auto& [value, key] : values)
        changed |= objectForKey(key) != value;
    if (!changed)
        return nullptr;
    if (readError_)
        return readError_;
    KeychainItem before = item_;
    for (const auto& [value, key] : values)
        assign(value, key);
    ErrorPtr error = writeToKeychain();
    if (error)
        item_ = std::move(before);  // memory keeps matching the keychain
    return error;
}

bool KeychainItemStore::assign(const std::string& value, KeychainAttribute key) {
    if (objectForKey(key) == value)
        return false;
    switch (key) {
        case KeychainAttribute::Service:
            item_.service = value;
            break;
        case KeychainAttribute::Account:
            item_.account = value;
            break;
        case KeychainAttribute::Generic:
            item_.generic = value;
            break;
        case KeychainAttribute::Label:
            item_.label = value;
            break;
        case KeychainAttribute::Description:
            item_.description = value;
            break;
        case KeychainAttribute::AccessGroup:
            item_.accessGroup = value;
            break;
        case KeychainAttribute::ValueData:
            item_.data = toBytes(value);
            break;
    }
    return true;
}

std::string KeychainItemStore::objectForKey(KeychainAttribute key) const {
    switch (key) {
        case KeychainAttribute::Service:
            return item_.service;
        case KeychainAttribute::Account:
            return item_.account;
        case KeychainAttribute::Generic:
            return item_.generic;
        case KeychainAttribute::Label:
            return item_.label;
        case KeychainAttribute::Description:
            return item_.description;
        case KeychainAttribute::AccessGroup:
            return item_.accessGroup;
        case KeychainAttribute::ValueData:
            return toString(item_.data);
    }
    return {};
}

ErrorPtr KeychainItemStore::resetKeychainItem() {
    ErrorPtr error = Keychain::standard().remove(byIdentifier(identifier_)).error();
    if (!error) {
        exists_ = false;
        readError_ = nullptr;  // known now: there is no such item
    }
    item_.account.clear();
    item_.label.clear();
    item_.description.clear();
    item_.data.clear();
    return error;
}

ErrorPtr KeychainItemStore::writeToKeychain() {
    Keychain& keychain = Keychain::standard();
    KeychainChanges changes;
    changes.service = item_.service;
    changes.account = item_.account;
    changes.generic = item_.generic;
    changes.label = item_.label;
    changes.description = item_.description;
    changes.data = item_.data;
    auto updated = keychain.update(byIdentifier(identifier_), changes);
    if (!updated)
        return updated.error();
    if (*updated == 0) {
        if (ErrorPtr error = keychain.add(item_))
            return error;
    }
    exists_ = true;
    return nullptr;
}

// --- Identifiers

std::string KeychainItemStore::basicAuthIdentifier() {
    return basicAuthIdentifier(root());
}
std::string KeychainItemStore::basicAuthIdentifier(const std::string& root) {
    return root + ".auth.basic";
}
std::string KeychainItemStore::sessionIdentifier() {
    return sessionIdentifier(root());
}
std::string KeychainItemStore::sessionIdentifier(const std::string& root) {
    return root + ".auth.session";
}
std::string KeychainItemStore::OAuthIdentifer() {
    return OAuthIdentifer(root());
}
std::string KeychainItemStore::OAuthIdentifer(const std::string& root) {
    return root + ".auth.oauth.state";
}
std::string KeychainItemStore::passcodeIdentifier() {
    return root() + ".passcode";
}
std::string KeychainItemStore::passcodeIdentifierForUsername(const std::string& username) {
    return passcodeIdentifier() + "." + username;
}
std::string KeychainItemStore::numFailedUnlockAttemptsIdentifier() {
    return root() + ".num_failed_unlock_attempts";
}

// --- Items of the session

ErrorPtr KeychainItemStore::setUsername(const std::string& username) {
    return KeychainItemStore(basicAuthIdentifier())
        .setObjects({{basicAuthIdentifier(), KeychainAttribute::Service},
                     {username, KeychainAttribute::Account}});
}

Result<std::optional<std::string>> KeychainItemStore::getUsername() {
    return read(basicAuthIdentifier(), KeychainAttribute::Account);
}

ErrorPtr KeychainItemStore::setPassword(const std::string& password) {
    return KeychainItemStore(basicAuthIdentifier())
        .setObjects({{basicAuthIdentifier(), KeychainAttribute::Service},
                     {password, KeychainAttribute::ValueData}});
}

Result<std::optional<std::string>> KeychainItemStore::getPassword() {
    return read(basicAuthIdentifier(), KeychainAttribute::ValueData);
}

ErrorPtr KeychainItemStore::setUsername(const std::string& username, const std::string& password) {
    return KeychainItemStore(basicAuthIdentifier())
        .setObjects({{basicAuthIdentifier(), KeychainAttribute::Service},
                     {username, KeychainAttribute::Account},
                     {password, KeychainAttribute::ValueData}});
}

ErrorPtr KeychainItemStore::setSessionId(const std::string& sessionId) {
    KeychainItemStore item(sessionIdentifier());
    std::vector<std::pair<std::string, KeychainAttribute>> values{
        {sessionIdentifier(), KeychainAttribute::Service}};
    auto username = getUsername();
    if (!username)
        return username.error();
    if (*username)
        values.emplace_back(**username, KeychainAttribute::Account);
    values.emplace_back(sessionId, KeychainAttribute::ValueData);
    return item.setObjects(values);
}

Result<std::optional<std::string>> KeychainItemStore::getSessionId() {
    return read(sessionIdentifier(), KeychainAttribute::ValueData);
}

ErrorPtr KeychainItemStore::setOAuthState(const std::optional<Bytes>& state) {
    KeychainItemStore item(OAuthIdentifer());
    if (!state)
        return item.resetKeychainItem();
    return item.setObjects({{OAuthIdentifer(), KeychainAttribute::Service},
                            {base64Encode(*state), KeychainAttribute::ValueData}});
}

Result<std::optional<Bytes>> KeychainItemStore::getOAuthState() {
    auto text = read(OAuthIdentifer(), KeychainAttribute::ValueData);
    if (!text)
        return text.error();
    if (!*text)
        return std::optional<Bytes>();
    return std::optional<Bytes>(base64Decode(**text, /*ignoreUnknown=*/true));
}

ErrorPtr KeychainItemStore::resetAuthData() {
    // One transaction: a keychain that fails half-way must not leave a user name whose password
    // or session is gone, nor a session without its user.
    const std::string identifiers[] = {basicAuthIdentifier(), sessionIdentifier(), OAuthIdentifer(),
                                       numFailedUnlockAttemptsIdentifier()};
    KeychainQuery query;
    query.where = [&](const KeychainItem& item) {
        return std::find(std::begin(identifiers), std::end(identifiers), item.generic) !=
               std::end(identifiers);
    };
    return Keychain::standard().remove(query).error();
}

// --- Items of the passcode

ErrorPtr KeychainItemStore::setPasscode(const std::string& passcode, const std::string& username) {
    return KeychainItemStore(passcodeIdentifierForUsername(username))
        .setObjects({{passcodeIdentifier(), KeychainAttribute::Service},
                     {username, KeychainAttribute::Account},
                     {passcode, KeychainAttribute::ValueData}});
}

Result<std::optional<std::string>> KeychainItemStore::getPasscodeForUsername(
    const std::string& username) {
    return read(passcodeIdentifierForUsername(username), KeychainAttribute::ValueData);
}

ErrorPtr KeychainItemStore::resetPasscodeForUsername(const std::string& username) {
    return KeychainItemStore(passcodeIdentifierForUsername(username)).resetKeychainItem();
}

ErrorPtr KeychainItemStore::setNumFailedUnlockAttempts(std::uint64_t count) {
    KeychainItemStore item(numFailedUnlockAttemptsIdentifier());
    std::vector<std::pair<std::string, KeychainAttribute>> values{
        {numFailedUnlockAttemptsIdentifier(), KeychainAttribute::Service}};
    auto username = getUsername();
    if (!username)
        return username.error();
    if (*username)
        values.emplace_back(**username, KeychainAttribute::Account);
    values.emplace_back(std::to_string(count), KeychainAttribute::ValueData);
    return item.setObjects(values);
}

Result<std::uint64_t> KeychainItemStore::getNumFailedUnlockAttempts() {
    auto text = read(numFailedUnlockAttemptsIdentifier(), KeychainAttribute::ValueData);
    if (!text)
        return text.error();
    std::uint64_t count = 0;
    if (*text)  // leading digits, like intValue
        std::from_chars((*text)->data(), (*text)->data() + (*text)->size(), count);
    return count;
}

// --- New install

ErrorPtr KeychainItemStore::resetKeychainForNewInstall(const std::string& frameworkId,
                                                       const std::string& keychainIdentifierRoot) {
    auto underRoot = [](const std::string& value, const std::string& root) {
        return !root.empty() && value.starts_with(root) &&
               (value.size() == root.size() || value[root.size()] == '.');
    };
    KeychainQuery query;
    query.where = [&](const KeychainItem& item) {
        for (const std::string* root : {&keychainIdentifierRoot, &frameworkId}) {
            if (underRoot(item.generic, *root) || underRoot(item.service, *root))
                return true;
        }
        return false;
    };
    return Keychain::standard().remove(query).error();
}

}  // namespace quarra
