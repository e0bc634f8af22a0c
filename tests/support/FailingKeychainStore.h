#pragma once
// A keychain store that behaves as a locked or damaged one on request: it forwards to a real store
// until told to refuse its writes (reads still work, nothing is changed) or everything (the store
// cannot even be read), or to fail only its transaction number `failAt` (a write as a full disk
// would, a transaction that writes nothing as a locked keychain would). Tests inject it with
// Keychain::standard().setStore().
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
        const int number = ++count;
        Failing now = failing;
        if (failAt != 0)
            now = number == failAt ? Writes : None;
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
        if (!error && failAt != 0)
            return Error::make(KeychainErrorDomain, KeychainReadFailedError, "locked");
        return error;
    }

    std::atomic<Failing> failing;
    // Transactions so far; the one with number `failAt` (from 1) fails, 0 fails none.
    std::atomic<int> count{0};
    std::atomic<int> failAt{0};

  private:
    std::shared_ptr<KeychainStore> inner_;
};

}  // namespace quarra::test
