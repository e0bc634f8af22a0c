#pragma once
// When the UI's delays and animations end. Views never sleep: every "after a moment" of a screen
// (a pause after a wrong entry, the end of an animation) is a block handed to the scheduler, which
// runs it on the main thread. A host uses the default, the main queue's own timer; a test installs
// a ManualScheduler and moves time on itself, so nothing in a test waits on the clock.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "quarra/Dispatch.h"

namespace quarra::ui {

class Scheduler {
  public:
    virtual ~Scheduler() = default;

    // Runs `block` on the main thread once `delay` has passed.
    virtual void after(Clock::duration delay, Block block) = 0;

    // The process's scheduler (the main queue's timer unless one was installed).
    static Scheduler& shared();
    // Installs `scheduler` for the whole process; null restores the default. Install before the
    // screens start.
    static void setShared(std::shared_ptr<Scheduler> scheduler);
};

// Time that moves only when told to. Safe to call from any thread; blocks run on the thread that
// calls advance() (the test's main thread).
class ManualScheduler : public Scheduler {
  public:
    void after(Clock::duration delay, Block block) override;

    // Moves time on by `delta`, running every block that falls due on the way in time order,
    // including those the running blocks schedule within the span.
    void advance(Clock::duration delta);
    // Blocks not yet due.
    std::size_t pending() const;
    Clock::duration now() const;

  private:
    struct Entry {
        Clock::duration due;
        std::uint64_t sequence;
        Block block;
    };

    mutable std::mutex mutex_;
    Clock::duration now_{0};
    std::uint64_t nextSequence_ = 0;
    std::vector<Entry> entries_;
};

}  // namespace quarra::ui
