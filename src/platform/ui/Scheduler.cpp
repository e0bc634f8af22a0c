#include "quarra/ui/Scheduler.h"

#include <algorithm>

namespace quarra::ui {
namespace {

class MainQueueScheduler : public Scheduler {
  public:
    void after(Clock::duration delay, Block block) override {
        DispatchQueue::main()->after(delay, std::move(block));
    }
};

std::mutex& schedulerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Scheduler>& installedScheduler() {
    static auto* scheduler = new std::shared_ptr<Scheduler>();
    return *scheduler;
}

}  // namespace

Scheduler& Scheduler::shared() {
    static MainQueueScheduler* fallback = new MainQueueScheduler();
    std::lock_guard lock(schedulerMutex());
    return installedScheduler() ? *installedScheduler() : *fallback;
}

void Scheduler::setShared(std::shared_ptr<Scheduler> scheduler) {
    std::lock_guard lock(schedulerMutex());
    installedScheduler() = std::move(scheduler);
}

void ManualScheduler::after(Clock::duration delay, Block block) {
    std::lock_guard lock(mutex_);
    entries_.push_back(
        {now_ + std::max(delay, Clock::duration::zero()), nextSequence_++, std::move(block)});
}

void ManualScheduler::advance(Clock::duration delta) {
    Clock::duration target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + delta;
    }
    for (;;) {
        Block block;
        {
            std::lock_guard lock(mutex_);
            auto next = std::min_element(
                entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
                    return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
                });
            if (next == entries_.end() || next->due > target) {
                now_ = target;
                return;
            }
            now_ = next->due;
            block = std::move(next->block);
            entries_.erase(next);
        }
        block();
    }
}

std::size_t ManualScheduler::pending() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

Clock::duration ManualScheduler::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

}  // namespace quarra::ui
