#pragma once
// A process-wide publish/subscribe hub. Observers register a block for a name (and optionally one
// sender); a post reaches every matching observer, synchronously on the posting thread unless the
// observer named a queue, in which case the block is submitted there asynchronously.
// Every member is safe to call from any thread, also from inside an observer's block.
#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "quarra/Dispatch.h"

namespace quarra {

using NotificationUserInfo = std::unordered_map<std::string, std::any>;

struct Notification {
    std::string name;
    // The object that posted, for identity only; may be null.
    std::shared_ptr<void> sender;
    // Any values: task objects, errors, JSON.
    NotificationUserInfo userInfo;

    // The value under `key` when it holds a T, else null.
    template <class T>
    const T* value(const std::string& key) const {
        auto it = userInfo.find(key);
        return it == userInfo.end() ? nullptr : std::any_cast<T>(&it->second);
    }
};

using NotificationBlock = std::function<void(const Notification&)>;
// Identifies one registration; 0 is never issued.
using ObserverToken = std::uint64_t;

class NotificationCenter {
  public:
    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // `name` empty: every name. `sender` null: any sender; else only posts whose sender.get() is
    // this address. `queue` null: the block runs on the posting thread during post().
    ObserverToken addObserver(std::string name, const void* sender, DispatchQueuePtr queue,
                              NotificationBlock block);
    ObserverToken addObserver(std::string name, NotificationBlock block) {
        return addObserver(std::move(name), nullptr, nullptr, std::move(block));
    }
    // Only posts whose sender `accepts` takes (it gets sender.get(), and runs on the posting
    // thread, without the centre's lock): an observer of a few of many senders lets the posters
    // of the others skip their posts (see hasObservers).
    using SenderFilter = std::function<bool(const void* sender)>;
    ObserverToken addObserver(std::string name, SenderFilter accepts, DispatchQueuePtr queue,
                              NotificationBlock block);
    // After this returns the block is not started again (a run already under way may finish).
    // Unknown tokens are ignored.
    void removeObserver(ObserverToken token);

    // Whether a post of `name` would reach an observer now: a poster may skip building a
    // notification (or a hop to the queue it is posted on) that nobody would receive.
    bool hasObservers(std::string_view name) const;
    // The same for a post by `sender`, whom observers of other senders do not count.
    bool hasObservers(std::string_view name, const void* sender) const;

    void post(const Notification& notification);
    void post(std::string name, std::shared_ptr<void> sender = nullptr,
              NotificationUserInfo userInfo = {});

  private:
    struct Observer {
        std::string name;
        const void* sender;
        SenderFilter accepts;
        DispatchQueuePtr queue;
        NotificationBlock block;
        std::atomic<bool> active{true};
    };

    ObserverToken add(std::shared_ptr<Observer> observer);
    static bool takes(const Observer& observer, std::string_view name, const void* sender);

    mutable std::mutex mutex_;
    ObserverToken nextToken_ = 1;
    std::map<ObserverToken, std::shared_ptr<Observer>> observers_;
};

}  // namespace quarra
