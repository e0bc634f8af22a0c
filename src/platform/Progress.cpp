#include "quarra/Progress.h"

#include <vector>

namespace quarra {

double Progress::fractionCompleted() const {
    std::int64_t total = total_.load();
    return total > 0 ? static_cast<double>(completed_.load()) / static_cast<double>(total) : 0.0;
}

void Progress::setTotalUnitCount(std::int64_t count) {
    if (total_.exchange(count) != count)
        changed();
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    if (completed_.exchange(count) != count)
        changed();
}

std::uint64_t Progress::addObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    std::uint64_t token = nextToken_++;
    observers_.emplace(token, std::make_shared<Observer>(std::move(observer)));
    return token;
}

void Progress::removeObserver(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void Progress::changed() {
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_)
            observers.push_back(observer);
    }
    for (const auto& observer : observers)
        (*observer)(*this);
}

void Progress::setCancellationHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    cancellationHandler_ = std::move(handler);
}

void Progress::setPausingHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    pausingHandler_ = std::move(handler);
}

void Progress::setResumingHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    resumingHandler_ = std::move(handler);
}

Progress::Handler Progress::handler(Handler Progress::*member) const {
    std::lock_guard lock(mutex_);
    return this->*member;
}

void Progress::cancel() {
    if (!cancellable_ || cancelled_.exchange(true))
        return;
    if (auto run = handler(&Progress::cancellationHandler_))
        run();
}

void Progress::pause() {
    if (!pausable_ || cancelled_ || paused_.exchange(true))
        return;
    if (auto run = handler(&Progress::pausingHandler_))
        run();
}

void Progress::resume() {
    if (!paused_.exchange(false))
        return;
    if (auto run = handler(&Progress::resumingHandler_))
        run();
}

}  // namespace quarra
