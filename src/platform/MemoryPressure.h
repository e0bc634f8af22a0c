#pragma once
// Watches the kernel's view of the process's memory and posts the memory warning (the one a host
// posts with postMemoryWarning()) when memory runs low, so that caches of decoded data are emptied
// without the host having to notice:
// - a pressure stall trigger on /proc/pressure/memory: tasks stalled waiting for memory for 150 ms
//   within 2 s (the kernel signals at most once per window);
// - the cgroup's memory.events where the process's cgroup has one (cgroup v2): a rise of the
//   "high", "max", "oom" or "oom_kill" counts.
// Either source may be absent; a watch on neither is none.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "platform/FileDescriptor.h"

namespace quarra {

class MemoryPressureWatch {
  public:
    struct Sources {
        // A pressure stall information file that takes a trigger; empty for none.
        std::filesystem::path pressureStall;
        // A cgroup memory.events file; empty for none.
        std::filesystem::path cgroupEvents;
        // The process's own: /proc/pressure/memory and its cgroup v2 memory.events.
        static Sources system();
    };
    // `onPressure` runs on the watch's own thread; by default it posts the memory warning. Null
    // when neither source can be watched.
    static std::unique_ptr<MemoryPressureWatch> start(Sources sources,
                                                      std::function<void()> onPressure = {});
    // Stops the thread; `onPressure` is not called after this returns.
    ~MemoryPressureWatch();
    MemoryPressureWatch(const MemoryPressureWatch&) = delete;
    MemoryPressureWatch& operator=(const MemoryPressureWatch&) = delete;

    bool watchesPressureStall() const { return pressure_.valid(); }
    bool watchesCgroupEvents() const { return events_.valid(); }

  private:
    MemoryPressureWatch() = default;
    void run();
    bool eventsRose();

    std::function<void()> onPressure_;
    FileDescriptor wake_;
    FileDescriptor pressure_;
    FileDescriptor events_;  // inotify on the events file
    std::filesystem::path eventsFile_;
    unsigned long long eventCount_ = 0;  // of the counts that mean pressure
    std::thread thread_;
};

// Starts the process's one watch, on `sources` or else the system's; only the first call counts.
// The caches that empty on memory warnings call it when they are made; a process that wants no
// watch (memory warnings left to the host alone) calls it first with empty sources.
void watchMemoryPressure(std::optional<MemoryPressureWatch::Sources> sources = std::nullopt);

}  // namespace quarra
