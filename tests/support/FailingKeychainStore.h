#pragma once
// A keychain store that behaves as a locked or damaged one on request: it forwards to a real store
// until told to refuse its writes (reads still work, nothing is changed) or everything (the store
// cannot even be read). Tests inject it with Keychain::standard().setStore().
#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/Keychain.h"

namespace quarra::test {

class FailingKeychainStore : public KeychainStore {
  public:
    enum Failing { None, Writes, Everything };

    explicit FailingKeychainStore(std::shared_ptr<KeychainStore> inner, Failing failing = None)
        : failing(failing), inner_(std::move(inner)) {}

    ErrorPtr transact(const std::function<bool(std::vector<KeychainItem>&)>& change) override {
        const Failing now = failing;
        if (now == Everything)
            return Error::make(KeychainErrorDomain, KeychainReadFailedError, "locked");
        if (now == None)
            return inner_->transact(change);
        bool wrote = false;
        ErrorPtr error = inner_->transact([&](std::vector<KeychainItem>& items) {
            wrote = change(items);
            return false;
        });
        if (!error && wrote)
            return Error::make(KeychainErrorDomain, KeychainWriteFailedError, "disk full");
        return error;
    }

    std::atomic<Failing> failing;

  private:
    std::shared_ptr<KeychainStore> inner_;
};

}  // namespace quarra::test
