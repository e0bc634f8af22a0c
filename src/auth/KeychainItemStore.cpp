#include "auth/KeychainItemStore.h"

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

// The attribute of an item, or nothing when it is empty or the keychain could not be read.
std::optional<std::string> read(const std::string& identifier, KeychainAttribute key,
                                ErrorPtr* error) {
    KeychainItemStore item(identifier);
    if (error)
        *error = item.readError();
    std::string value = item.objectForKey(key);
    if (value.empty())
        return std::nullopt;
    return value;
}

}  // namespace

KeychainItemStore::KeychainItemStore(std::string identifier, std::optional<std::string>)
    : identifier_(std::move(identifier)) {
    KeychainResult result = Keychain::standard().copyMatching(byIdentifier(identifier_), &item_);
    exists_ = result.ok();
    if (!exists_) {
        if (!result.notFound())
            readError_ = result.error;
        item_ = KeychainItem{};
    }
    item_.generic = identifier_;
}

KeychainResult KeychainItemStore::setObject(const std::string& value, KeychainAttribute key) {
    return setObjects({{value, key}});
}

KeychainResult KeychainItemStore::setObjects(
    const std::vector<std::pair<std::string, KeychainAttribute>>& values) {
    bool changed = false;
    for (const auto& [value, key] : values)
        changed |= objectForKey(key) != value;
    if (!changed)
        return {};
    if (readError_)
        return {KeychainStatus::ReadFailed, readError_};
    KeychainItem before = item_;
    for (const auto& [value, key] : values)
        assign(value, key);
    KeychainResult result = writeToKeychain();
    if (!result.ok())
        item_ = std::move(before);  // memory keeps matching the keychain
    return result;
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

KeychainResult KeychainItemStore::resetKeychainItem() {
    if (readError_)
        return {KeychainStatus::ReadFailed, readError_};
    KeychainResult result = Keychain::standard().remove(byIdentifier(identifier_));
    if (result.ok() || result.notFound()) {
        exists_ = false;
        result = {};
    }
    item_.account.clear();
    item_.label.clear();
    item_.description.clear();
    item_.data.clear();
    return result;
}

KeychainResult KeychainItemStore::writeToKeychain() {
    Keychain& keychain = Keychain::standard();
    KeychainChanges changes;
    changes.service = item_.service;
    changes.account = item_.account;
    changes.generic = item_.generic;
    changes.label = item_.label;
    changes.description = item_.description;
    changes.data = item_.data;
    KeychainResult result = keychain.update(byIdentifier(identifier_), changes);
    if (result.notFound())
        result = keychain.add(item_);
    if (result.ok())
        exists_ = true;
    return result;
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
                     {username, KeychainAttribute::Account}})
        .failure();
}

std::optional<std::string> KeychainItemStore::getUsername(ErrorPtr* error) {
    return read(basicAuthIdentifier(), KeychainAttribute::Account, error);
}

ErrorPtr KeychainItemStore::setPassword(const std::string& password) {
    return KeychainItemStore(basicAuthIdentifier())
        .setObjects({{basicAuthIdentifier(), KeychainAttribute::Service},
                     {password, KeychainAttribute::ValueData}})
        .failure();
}

std::optional<std::string> KeychainItemStore::getPassword(ErrorPtr* error) {
    return read(basicAuthIdentifier(), KeychainAttribute::ValueData, error);
}

ErrorPtr KeychainItemStore::setUsername(const std::string& username, const std::string& password) {
    return KeychainItemStore(basicAuthIdentifier())
        .setObjects({{basicAuthIdentifier(), KeychainAttribute::Service},
                     {username, KeychainAttribute::Account},
                     {password, KeychainAttribute::ValueData}})
        .failure();
}

ErrorPtr KeychainItemStore::setSessionId(const std::string& sessionId) {
    KeychainItemStore item(sessionIdentifier());
    std::vector<std::pair<std::string, KeychainAttribute>> values{
        {sessionIdentifier(), KeychainAttribute::Service}};
    ErrorPtr readError;
    if (auto username = getUsername(&readError))
        values.emplace_back(*username, KeychainAttribute::Account);
    if (readError)
        return readError;
    values.emplace_back(sessionId, KeychainAttribute::ValueData);
    return item.setObjects(values).failure();
}

std::optional<std::string> KeychainItemStore::getSessionId(ErrorPtr* error) {
    return read(sessionIdentifier(), KeychainAttribute::ValueData, error);
}

ErrorPtr KeychainItemStore::setOAuthState(const std::optional<Bytes>& state) {
    KeychainItemStore item(OAuthIdentifer());
    if (!state)
        return item.resetKeychainItem().failure();
    return item
        .setObjects({{OAuthIdentifer(), KeychainAttribute::Service},
                     {base64Encode(*state), KeychainAttribute::ValueData}})
        .failure();
}

std::optional<Bytes> KeychainItemStore::getOAuthState(ErrorPtr* error) {
    auto text = read(OAuthIdentifer(), KeychainAttribute::ValueData, error);
    if (!text)
        return std::nullopt;
    return base64Decode(*text, /*ignoreUnknown=*/true);
}

ErrorPtr KeychainItemStore::resetAuthData() {
    ErrorPtr first;
    for (const auto& identifier : {basicAuthIdentifier(), sessionIdentifier(), OAuthIdentifer(),
                                   numFailedUnlockAttemptsIdentifier()}) {
        ErrorPtr failure = KeychainItemStore(identifier).resetKeychainItem().failure();
        if (!first)
            first = std::move(failure);
    }
    return first;
}

// --- Items of the passcode

ErrorPtr KeychainItemStore::setPasscode(const std::string& passcode, const std::string& username) {
    return KeychainItemStore(passcodeIdentifierForUsername(username))
        .setObjects({{passcodeIdentifier(), KeychainAttribute::Service},
                     {username, KeychainAttribute::Account},
                     {passcode, KeychainAttribute::ValueData}})
        .failure();
}

std::string KeychainItemStore::getPasscodeForUsername(const std::string& username) {
    return KeychainItemStore(passcodeIdentifierForUsername(username))
        .objectForKey(KeychainAttribute::ValueData);
}

ErrorPtr KeychainItemStore::resetPasscodeForUsername(const std::string& username) {
    return KeychainItemStore(passcodeIdentifierForUsername(username)).resetKeychainItem().failure();
}

ErrorPtr KeychainItemStore::setNumFailedUnlockAttempts(std::uint64_t count) {
    KeychainItemStore item(numFailedUnlockAttemptsIdentifier());
    std::vector<std::pair<std::string, KeychainAttribute>> values{
        {numFailedUnlockAttemptsIdentifier(), KeychainAttribute::Service}};
    ErrorPtr readError;
    if (auto username = getUsername(&readError))
        values.emplace_back(*username, KeychainAttribute::Account);
    if (readError)
        return readError;
    values.emplace_back(std::to_string(count), KeychainAttribute::ValueData);
    return item.setObjects(values).failure();
}

std::uint64_t KeychainItemStore::getNumFailedUnlockAttempts() {
    std::string text = KeychainItemStore(numFailedUnlockAttemptsIdentifier())
                           .objectForKey(KeychainAttribute::ValueData);
    std::uint64_t count = 0;
    std::from_chars(text.data(), text.data() + text.size(),
                    count);  // leading digits, like intValue
    return count;
}

// --- New install

KeychainResult KeychainItemStore::resetKeychainForNewInstall(
    const std::string& frameworkId, const std::string& keychainIdentifierRoot) {
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
    KeychainResult result = Keychain::standard().remove(query);
    return result.notFound() ? KeychainResult{} : result;
}

}  // namespace quarra
