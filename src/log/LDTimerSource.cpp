#include "log/LDTimerSource.h"

#include <algorithm>

#include "platform/DispatchSource.h"

namespace quarra {
namespace {

class DispatchTimer : public LDTimer {
  public:
    DispatchTimer(DispatchQueuePtr queue, Block handler)
        : source_(DispatchSource::timer(std::move(queue))) {
        source_->setEventHandler(std::move(handler));
    }
    ~DispatchTimer() override { cancel(); }

    void setTimer(Clock::time_point firstFire, Clock::duration interval) override {
        auto delay = std::max(firstFire - Clock::now(), Clock::duration::zero());
        source_->setTimer(delay, interval, std::chrono::seconds(1));
    }
    void resume() override {
        if (suspended_) {
            suspended_ = false;
            source_->resume();
        }
    }
    void suspend() override {
        if (!suspended_) {
            suspended_ = true;
            source_->suspend();
        }
    }
    void cancel() override {
        source_->cancel();
        resume();
    }

  private:
    DispatchSourcePtr source_;
    bool suspended_ = true;
};

class SystemTimerSource : public LDTimerSource {
  public:
    Clock::time_point now() const override { return Clock::now(); }
    std::unique_ptr<LDTimer> makeTimer(DispatchQueuePtr queue, Block handler) override {
        return std::make_unique<DispatchTimer>(std::move(queue), std::move(handler));
    }
};

}  // namespace

const std::shared_ptr<LDTimerSource>& LDTimerSource::system() {
    // Never destroyed: loggers may still set timers while the process exits.
    static const auto& source =
        *new std::shared_ptr<LDTimerSource>(std::make_shared<SystemTimerSource>());
    return source;
}

}  // namespace quarra
