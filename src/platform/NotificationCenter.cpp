#include "quarra/NotificationCenter.h"

#include <vector>

namespace quarra {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* instance = new NotificationCenter();
    return *instance;
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* sender,
                                              DispatchQueuePtr queue, NotificationBlock block) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->sender = sender;
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    return add(std::move(observer));
}

ObserverToken NotificationCenter::addObserver(std::string name, SenderFilter accepts,
                                              DispatchQueuePtr queue, NotificationBlock block) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->sender = nullptr;
    observer->accepts = std::move(accepts);
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    return add(std::move(observer));
}

ObserverToken NotificationCenter::add(std::shared_ptr<Observer> observer) {
    std::lock_guard lock(mutex_);
    ObserverToken token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    auto it = observers_.find(token);
    if (it == observers_.end())
        return;
    it->second->active = false;
    observers_.erase(it);
}

bool NotificationCenter::hasObservers(std::string_view name) const {
    std::lock_guard lock(mutex_);
    for (const auto& [token, observer] : observers_) {
        if (observer->name.empty() || observer->name == name)
            return true;
    }
    return false;
}

// The name and the sender's address, under the lock; a sender filter is asked later, without it.
bool NotificationCenter::takes(const Observer& observer, std::string_view name,
                               const void* sender) {
    return (observer.name.empty() || observer.name == name) &&
           (!observer.sender || observer.sender == sender);
}

bool NotificationCenter::hasObservers(std::string_view name, const void* sender) const {
    std::vector<std::shared_ptr<Observer>> filtered;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) {
            if (!takes(*observer, name, sender))
                continue;
            if (!observer->accepts)
                return true;
            filtered.push_back(observer);
        }
    }
    for (const auto& observer : filtered) {
        if (observer->accepts(sender))
            return true;
    }
    return false;
}

void NotificationCenter::post(const Notification& notification) {
    // Blocks run without the lock held, so they may add or remove observers and post again.
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) {
            if (takes(*observer, notification.name, notification.sender.get()))
                matching.push_back(observer);
        }
    }
    std::shared_ptr<const Notification> shared;
    for (const auto& observer : matching) {
        if (!observer->active)
            continue;
        if (observer->accepts && !observer->accepts(notification.sender.get()))
            continue;
        if (!observer->queue) {
            observer->block(notification);
            continue;
        }
        if (!shared)
            shared = std::make_shared<const Notification>(notification);
        observer->queue->async([observer, shared] {
            if (observer->active)
                observer->block(*shared);
        });
    }
}

void NotificationCenter::post(std::string name, std::shared_ptr<void> sender,
                              NotificationUserInfo userInfo) {
    post(Notification{std::move(name), std::move(sender), std::move(userInfo)});
}

}  // namespace quarra
