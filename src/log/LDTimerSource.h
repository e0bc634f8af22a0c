#pragma once
// The clock and timers that loggers with time-driven work use. The default runs on the steady
// clock with dispatch timer sources; a test substitutes a clock that it advances itself.
#include <memory>

#include "quarra/Dispatch.h"

namespace quarra {

// A repeating timer whose handler runs on the queue it was made for. Made suspended.
class LDTimer {
  public:
    virtual ~LDTimer() = default;
    // First fire at `firstFire` (at once when that has passed), then every `interval`.
    virtual void setTimer(Clock::time_point firstFire, Clock::duration interval) = 0;
    virtual void resume() = 0;
    virtual void suspend() = 0;
    // Final: the handler does not start again.
    virtual void cancel() = 0;
};

class LDTimerSource {
  public:
    virtual ~LDTimerSource() = default;
    virtual Clock::time_point now() const = 0;
    virtual std::unique_ptr<LDTimer> makeTimer(DispatchQueuePtr queue, Block handler) = 0;

    // The steady clock and dispatch timers, shared by every logger.
    static const std::shared_ptr<LDTimerSource>& system();
};

}  // namespace quarra
